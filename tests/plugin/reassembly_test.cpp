// The framing steps on their own, over a buffer and its count: collecting
// chunks, reading the length characters and checking a reply header.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/Reassembly.h"
#include "support/ParamNames.h"

namespace
{

// std::stoi of a three-character string, the reading the length field
// always had: false where it throws.
bool StoiReading(const std::string& text, int& value)
{
    try {
        value = std::stoi(text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Every three-character string over characters that matter to the reading
// (white space, signs, digits, a letter, the separator, NUL, "~" and a byte
// above 0x7F) reads as std::stoi reads it.
TEST(LengthField, ReadsEveryThreeCharacterStringAsStoiDoes)
{
    const std::string alphabet("\t\v\n +-0159a;~\xA0\0", 15);
    std::size_t accepted = 0;
    for (char a : alphabet) {
        for (char b : alphabet) {
            for (char c : alphabet) {
                const std::string text{a, b, c};
                int expected = -1000;
                int got = -1000;
                const bool stoi_ok = StoiReading(text, expected);
                const bool ours =
                    ReadLengthField(reinterpret_cast<const unsigned char*>(text.data()), got);
                ASSERT_EQ(ours, stoi_ok) << testing::PrintToString(text);
                if (stoi_ok) {
                    ASSERT_EQ(got, expected) << testing::PrintToString(text);
                    ++accepted;
                }
            }
        }
    }
    EXPECT_GT(accepted, 0U);
}

struct HeaderRow {
    const char* name;
    std::string bytes;
    ReplyHeader::Verdict verdict;
    int length;
};

class HeaderCheck : public testing::TestWithParam<HeaderRow>
{
};

TEST_P(HeaderCheck, GivesItsVerdict)
{
    const HeaderRow& row = GetParam();
    const ReplyHeader header =
        CheckReplyHeader(reinterpret_cast<const unsigned char*>(row.bytes.data()),
                         static_cast<unsigned int>(row.bytes.size()), "00");
    EXPECT_EQ(header.verdict, row.verdict);
    if (row.verdict == ReplyHeader::Verdict::Length) {
        EXPECT_EQ(header.length, row.length);
    }
}

using V = ReplyHeader::Verdict;
const HeaderRow kHeaderRows[] = {
    {"Empty", "", V::Incomplete, 0},
    {"SixBytes", "~00D00", V::Incomplete, 0},
    {"SixBytesOfAWrongHeader", "~99X00", V::Incomplete, 0},
    {"Good", "~00D005", V::Length, 5},
    {"GoodWithPayload", "~00D005DELTA", V::Length, 5},
    {"Zero", "~00D000", V::Length, 0},
    {"BlankFirst", "~00D 12", V::Length, 12},
    {"SeparatorLast", "~00D12;", V::Length, 12},
    {"PlusSign", "~00D+12", V::Length, 12},
    {"Largest", "~00D999", V::Length, 999},
    {"MinusZero", "~00D-00", V::Length, 0},
    {"Negative", "~00D-12", V::Bad, 0},
    {"Letters", "~00DABC", V::Bad, 0},
    {"Blanks", "~00D   ", V::Bad, 0},
    {"FirstAddressCharacter", "~10D005", V::Bad, 0},
    {"SecondAddressCharacter", "~01D005", V::Bad, 0},
    {"QueryType", "~00P003", V::Bad, 0},
    {"LowerCaseType", "~00d005", V::Bad, 0},
};
INSTANTIATE_TEST_SUITE_P(Rows, HeaderCheck, testing::ValuesIn(kHeaderRows), RowName());

TEST(HeaderCheck, ComparesTheAddressItIsGiven)
{
    const std::string header = "~12D000";
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
    EXPECT_EQ(CheckReplyHeader(bytes, 7, "12").verdict, V::Length);
    EXPECT_EQ(CheckReplyHeader(bytes, 7, "00").verdict, V::Bad);
}

TEST(ReplyComplete, NeedsTheHeaderAndTheWholePayload)
{
    EXPECT_TRUE(ReplyComplete(7, 0));
    EXPECT_FALSE(ReplyComplete(11, 5));
    EXPECT_TRUE(ReplyComplete(12, 5));
    EXPECT_TRUE(ReplyComplete(4096, 999));
}

class Collect : public testing::Test
{
protected:
    static constexpr unsigned int kCapacity = 4096;

    bool Add(const std::string& chunk)
    {
        return CollectChunk(buffer_.data(), kCapacity, count_,
                            reinterpret_cast<const unsigned char*>(chunk.data()),
                            static_cast<unsigned int>(chunk.size()));
    }
    std::string Held() const
    {
        return std::string(reinterpret_cast<const char*>(buffer_.data()), count_);
    }

    std::vector<unsigned char> buffer_ = std::vector<unsigned char>(kCapacity);
    unsigned int count_ = 0;
};

TEST_F(Collect, HuntsForTheStartWhileEmpty)
{
    EXPECT_TRUE(Add("noise"));
    EXPECT_EQ(count_, 0U);
    EXPECT_TRUE(Add("xx~00D"));
    EXPECT_EQ(Held(), "~00D");
    // Once a reply is under way everything belongs to it, "~" included.
    EXPECT_TRUE(Add("0x~5"));
    EXPECT_EQ(Held(), "~00D0x~5");
}

TEST_F(Collect, AnEmptyChunkChangesNothing)
{
    EXPECT_TRUE(CollectChunk(buffer_.data(), kCapacity, count_, nullptr, 0));
    EXPECT_EQ(count_, 0U);
    EXPECT_TRUE(Add("~0"));
    EXPECT_TRUE(CollectChunk(buffer_.data(), kCapacity, count_, nullptr, 0));
    EXPECT_EQ(Held(), "~0");
}

TEST_F(Collect, RefusesAChunkThatDoesNotFitAndKeepsTheBuffer)
{
    EXPECT_FALSE(Add(std::string(4097, '~')));
    EXPECT_EQ(count_, 0U);
    ASSERT_TRUE(Add("~" + std::string(3999, 'x')));
    EXPECT_FALSE(Add(std::string(97, 'y')));
    EXPECT_EQ(count_, 4000U);
    EXPECT_TRUE(Add(std::string(96, 'y')));
    EXPECT_EQ(count_, 4096U);
    EXPECT_FALSE(Add("z"));
    EXPECT_EQ(count_, 4096U);
}

TEST_F(Collect, AChunkLengthThatWouldWrapTheSumIsRefused)
{
    ASSERT_TRUE(Add("~00"));
    const unsigned char byte = 'x';
    EXPECT_FALSE(CollectChunk(buffer_.data(), kCapacity, count_, &byte, 0xFFFFFFFFU));
    EXPECT_EQ(count_, 3U);
    // A count past the capacity (a host that broke its own buffer) refuses
    // everything rather than writing beyond it.
    unsigned int broken = kCapacity + 1;
    EXPECT_FALSE(CollectChunk(buffer_.data(), kCapacity, broken, &byte, 1));
}

} // namespace
