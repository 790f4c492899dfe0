// Query frames as the simulator receives them and reply frames as it sends
// them.
//
// Query: "~", two address characters, "P", the length of the command field
// as three digits, then the command letters ("~00P003MNU").  Reply: "~", the
// address, "D", the payload length as three digits, then the payload.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace upssim
{

struct Query {
    std::string address; // two characters
    std::string code;    // the command letters, "MNU"
    std::string frame;   // the whole frame as received
};

// Finds query frames in the bytes received from the host, whatever chunks
// they arrive in.  Bytes outside a frame are skipped; a frame broken off by
// a new "~" is abandoned in favour of the new one.
class QueryScanner
{
public:
    // Appends the frames that `data` completes to `out`.
    void Feed(const char* data, std::size_t length, std::vector<Query>& out);
    // Bytes skipped since the last call of TakeSkipped().
    std::size_t TakeSkipped();

private:
    std::string pending_;
    std::size_t skipped_ = 0;
};

// "~" + address + "D" + the payload length as three digits + payload.
std::string ReplyFrame(const std::string& address, const std::string& payload);

} // namespace upssim
