// The device record is a binary format shared with the host's upstream link,
// history store and cache: every field's place and width is pinned here.
#include <gtest/gtest.h>

#include "support/ParamNames.h"

#include <cstddef>
#include <map>
#include <string>

#include "record/DeltanhntCmdsRply.h"
#include "record/RecordFields.h"

namespace
{

struct FieldPlace {
    const char* name;
    std::size_t offset;
    std::size_t width;
    FieldType type;
    std::size_t actual_offset;
    std::size_t actual_width;
};

#define PLACE(field, offset, width, type)                                                          \
    FieldPlace                                                                                     \
    {                                                                                              \
#field, offset, width, FieldType::type, offsetof(DeltanhntCmdsRply_t, field),              \
            sizeof(DeltanhntCmdsRply_t::field)                                                     \
    }

// clang-format off
const FieldPlace kLayout[] = {
    PLACE(DataId, 0, 4, UInt32),
    PLACE(UpsMnu, 4, 16, Text16),
    PLACE(UpsMod, 20, 16, Text16),
    PLACE(RatInptVlt, 36, 4, Int32),
    PLACE(RatValue1, 40, 4, Float32),
    PLACE(RatOuptVlt, 44, 4, Int32),
    PLACE(RatValue3, 48, 4, Float32),
    PLACE(RatValue4, 52, 4, Int32),
    PLACE(RatValue5, 56, 4, Int32),
    PLACE(RatByte6, 60, 1, Int8),
    PLACE(RatValue7, 61, 4, Int32),
    PLACE(RatValue8, 65, 4, Int32),
    PLACE(RatValue9, 69, 4, Int32),
    PLACE(RatValue10, 73, 4, Int32),
    PLACE(RatValue11, 77, 4, Int32),
    PLACE(RatValue12, 81, 4, Int32),
    PLACE(RatByte13, 85, 1, Int8),
    PLACE(RatBttryVlt, 86, 4, Int32),
    PLACE(RatValue15, 90, 4, Float32),
    PLACE(RatValue16, 94, 4, Float32),
    PLACE(RatValue17, 98, 4, Float32),
    PLACE(RatValue18, 102, 4, Float32),
    PLACE(RatValue19, 106, 4, Float32),
    PLACE(RatValue20, 110, 4, Float32),
    PLACE(StbByte0, 114, 1, Int8),
    PLACE(StbByte1, 115, 1, Int8),
    PLACE(StbByte2, 116, 1, Int8),
    PLACE(SecOnBattry, 117, 4, Int32),
    PLACE(EstMinRmn, 121, 4, Int32),
    PLACE(EstChrgRmn, 125, 4, Int32),
    PLACE(BattryVlt, 129, 4, Float32),
    PLACE(BattryCrrent, 133, 4, Float32),
    PLACE(BattryTmp, 137, 4, Int32),
    PLACE(StbValue9, 141, 4, Int32),
    PLACE(Reserved145, 145, 1, Reserved),
    PLACE(InptLines, 146, 4, Int32),
    PLACE(InptFrq1, 150, 4, Float32),
    PLACE(InptVlt1, 154, 4, Float32),
    PLACE(InptCrrent1, 158, 4, Float32),
    PLACE(InptPwr1, 162, 4, Int32),
    PLACE(InptFrq2, 166, 4, Float32),
    PLACE(InptVlt2, 170, 4, Float32),
    PLACE(InptCrrent2, 174, 4, Float32),
    PLACE(InptPwr2, 178, 4, Int32),
    PLACE(InptFrq3, 182, 4, Float32),
    PLACE(InptVlt3, 186, 4, Float32),
    PLACE(InptCrrent3, 190, 4, Float32),
    PLACE(Reserved194, 194, 4, Reserved),
    PLACE(OutptSrc, 198, 1, Int8),
    PLACE(OutptFrq, 199, 4, Float32),
    PLACE(OutptLines, 203, 1, Int8),
    PLACE(OutptVlt1, 204, 4, Float32),
    PLACE(OutptCrrent1, 208, 4, Float32),
    PLACE(OutptPwr1, 212, 4, Int32),
    PLACE(OutptLd1, 216, 4, Int32),
    PLACE(OutptVlt2, 220, 4, Float32),
    PLACE(OutptCrrent2, 224, 4, Float32),
    PLACE(OutptPwr2, 228, 4, Int32),
    PLACE(OutptLd2, 232, 4, Int32),
    PLACE(OutptVlt3, 236, 4, Float32),
    PLACE(OutptCrrent3, 240, 4, Float32),
    PLACE(OutptPwr3, 244, 4, Int32),
    PLACE(OutptLd3, 248, 4, Int32),
    PLACE(BypssFrq, 252, 4, Float32),
    PLACE(BypssLines, 256, 1, Int8),
    PLACE(BypssVlt1, 257, 4, Float32),
    PLACE(BypssCrrent1, 261, 4, Float32),
    PLACE(BypssPwr1, 265, 4, Int32),
    PLACE(BypssVlt2, 269, 4, Float32),
    PLACE(BypssCrrent2, 273, 4, Float32),
    PLACE(BypssPwr2, 277, 4, Int32),
    PLACE(BypssVlt3, 281, 4, Float32),
    PLACE(BypssCrrent3, 285, 4, Float32),
    PLACE(BypssPwr3, 289, 4, Int32),
    PLACE(TmpFault, 293, 1, Int8),
    PLACE(InptFail, 294, 1, Int8),
    PLACE(OutptFault, 295, 1, Int8),
    PLACE(OutptOvrCrrent, 296, 1, Int8),
    PLACE(BypssOutOfLmt, 297, 1, Int8),
    PLACE(OutptOff, 298, 1, Int8),
    PLACE(UpsOff, 299, 1, Int8),
    PLACE(ChrgrFault, 300, 1, Int8),
    PLACE(SysOff, 301, 1, Int8),
    PLACE(FanFault, 302, 1, Int8),
    PLACE(FuseFault, 303, 1, Int8),
    PLACE(SysAbnrml, 304, 1, Int8),
    PLACE(UpsPwrLost, 305, 1, Int8),
    PLACE(ShttngDwn, 306, 1, Int8),
    PLACE(ShtdwnImmnnt, 307, 1, Int8),
    PLACE(StaFlag15, 308, 1, Int8),
    PLACE(StaFlag16, 309, 1, Int8),
    PLACE(StaFlag17, 310, 1, Int8),
    PLACE(StaFlag18, 311, 1, Int8),
    PLACE(Reserved312, 312, 3, Reserved),
    PLACE(UpsVer, 315, 16, Text16),
    PLACE(RoundTime, 331, 7, Stamp7),
};
// clang-format on
#undef PLACE

class RecordLayout : public ::testing::TestWithParam<FieldPlace>
{
};

TEST_P(RecordLayout, FieldSitsAtItsOffsetWithItsWidth)
{
    const FieldPlace& f = GetParam();
    EXPECT_EQ(f.actual_offset, f.offset) << f.name;
    EXPECT_EQ(f.actual_width, f.width) << f.name;
}

INSTANTIATE_TEST_SUITE_P(EveryField, RecordLayout, ::testing::ValuesIn(kLayout), RowName());

TEST(RecordLayoutWhole, IsPacked338BytesWithoutGaps)
{
    EXPECT_EQ(sizeof(DeltanhntCmdsRply_t), 338U);
    EXPECT_EQ(alignof(DeltanhntCmdsRply_t), 1U);
    // The fields tile the record: each starts where the previous one ends.
    std::size_t next = 0;
    for (const FieldPlace& f : kLayout) {
        EXPECT_EQ(f.offset, next) << f.name;
        next = f.offset + f.width;
    }
    EXPECT_EQ(next, 338U);
}

// The catalogue the decoders walk must agree with the layout and give each
// reply its fields in reply order.
TEST(RecordCatalogue, MatchesTheLayoutFieldForField)
{
    ASSERT_EQ(std::size(kRecordFields), std::size(kLayout));
    for (std::size_t i = 0; i < std::size(kLayout); ++i) {
        EXPECT_STREQ(kRecordFields[i].name, kLayout[i].name);
        EXPECT_EQ(kRecordFields[i].offset, kLayout[i].offset) << kLayout[i].name;
        EXPECT_EQ(kRecordFields[i].width, kLayout[i].width) << kLayout[i].name;
        // The type chooses the conversion: integer, tenths or byte.
        EXPECT_EQ(kRecordFields[i].type, kLayout[i].type) << kLayout[i].name;
    }
}

TEST(RecordCatalogue, EachReplyOwnsAContiguousRunOfFields)
{
    const std::map<ReplyGroup, std::size_t> expected = {
        {ReplyGroup::MNU, 1},  {ReplyGroup::MOD, 1},  {ReplyGroup::RAT, 21},
        {ReplyGroup::STB, 10}, {ReplyGroup::STI, 12}, {ReplyGroup::STO, 15},
        {ReplyGroup::STP, 11}, {ReplyGroup::STA, 19}, {ReplyGroup::VER, 1},
    };
    for (const auto& [group, count] : expected) {
        const ReplyFields fields = FieldsOf(group);
        ASSERT_EQ(fields.count, count) << static_cast<int>(group);
        for (std::size_t i = 0; i < fields.count; ++i) {
            EXPECT_EQ(fields.first[i].group, group) << fields.first[i].name;
        }
    }
    EXPECT_STREQ(FieldsOf(ReplyGroup::RAT).first[15].name, "RatValue15");
    EXPECT_STREQ(FieldsOf(ReplyGroup::STA).first[14].name, "ShtdwnImmnnt");
}

} // namespace
