// The plug-in's console: what it writes on standard output (std::cout, from
// inside the device calls on the host's thread) is taken in by the host and
// shown as its own events, in order with the host operations around it, so
// that standard output carries nothing but halx-host's view or its JSON
// lines.
//
// Standard output (fd 1) is moved to a file in memory: a write never waits
// for a reader, however much the plug-in writes in one call, and nothing is
// lost.  The host reads it back at every host operation the device calls
// and after every device call, so each line lands between the same events
// it was written between.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace halxhost
{

class ConsoleCapture
{
public:
    // Takes over fd 1; throws BadInput when no file can hold the output.
    ConsoleCapture();
    // Gives fd 1 back to where it pointed before.
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Standard output as it was: where halx-host's own output goes.
    std::ostream& Output() { return *out_; }
    // Whether that is a terminal.
    bool OutputIsTerminal() const { return terminal_; }

    // The lines written since the last call, without their line ends; with
    // `all`, an unfinished last line too.
    std::vector<std::string> Take(bool all);

private:
    struct Sink;
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<std::ostream> out_;
    int memory_ = -1;
    bool terminal_ = false;
    std::string partial_;
};

} // namespace halxhost
