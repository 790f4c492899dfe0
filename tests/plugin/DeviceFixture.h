// The plug-in tests' fixture: a TestDevice of the loaded plug-in, as the
// host creates and configures it, logging its host calls.
#pragma once

#include <gtest/gtest.h>

#include "support/Packed.h"
#include "support/PluginLoader.h"
#include "support/Replies.h"
#include "support/TestDevice.h"

class DeviceFixture : public ::testing::Test, public TestDevice
{
protected:
    DeviceFixture() : TestDevice(BuiltPlugin().Create()) {}

    // Loads a record built by the test (and completes a round with it).
    void LoadRecord(const DeltanhntCmdsRply_t& record)
    {
        testing::internal::CaptureStdout(); // the round's "rvSize is" line
        const bool loaded = dev().LoadFromCache(reinterpret_cast<const unsigned char*>(&record),
                                                static_cast<int>(sizeof record));
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(loaded);
    }
};
