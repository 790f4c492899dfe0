// Reading fields of the packed device record in tests.
//
// A packed field may sit at an odd address.  Binding it to a reference (as
// EXPECT_EQ does with its arguments) makes the compiler load through an
// unaligned pointer, which faults on the MIPS target.  Val() takes the field
// by value, so the compiler reads it with alignment-safe code first:
//     EXPECT_EQ(Val(rec().BattryVlt), 271.2F);
#pragma once

template <class T> T Val(T value)
{
    return value;
}
