#include <gtest/gtest.h>

#include "halx/CallLog.h"
#include "support/PluginLoader.h"

TEST(Loading, RefreshSendsMnu)
{
    auto dev = BuiltPlugin().Create();
    CallLog log;
    dev->SetObserver(&log);
    dev->InitSetting(Json::Value(Json::objectValue));
    dev->RefreshStatus();
    EXPECT_EQ(log.Frames().at(0), "~00P003MNU");
}

#include "support/Replies.h"

TEST(Loading, HealthyCycle)
{
    auto dev = BuiltPlugin().Create();
    CallLog log;
    dev->SetObserver(&log);
    dev->InitSetting(Json::Value(Json::objectValue));
    dev->RefreshStatus();
    for (std::string r : HealthyReplies()) {
        dev->process(reinterpret_cast<unsigned char*>(&r[0]), static_cast<unsigned>(r.size()));
    }
    for (auto& l : log.Lines())
        std::printf("%s\n", l.c_str());
    EXPECT_EQ(log.Frames(), CycleFrames());
    EXPECT_FLOAT_EQ(dev->Get_Value(0, "BattryVlt"), 271.2F);
}
