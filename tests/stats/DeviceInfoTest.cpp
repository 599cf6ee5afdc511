#include "stats/DeviceInfo.h"

#include <gtest/gtest.h>


#include "platform/SystemInfo.h"
#include "stats/DeviceFacts.h"
#include "tests/support/Sandbox.h"

namespace {

using engine::DeviceInfo;
using engine::JsonValue;
using testing_support::Sandbox;

TEST(DeviceInfo, IdentityValuesOfThisMachine) {
    DeviceInfo info;
    const std::string id = info.GetMachineId();
    ASSERT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos) << id;
    auto macs = platform::NetworkAdapterMacs();
    EXPECT_EQ(id, engine::MachineIdText(platform::RootFileSystemId(), macs.empty() ? platform::MacAddress{} : macs[0]));
    EXPECT_EQ(info.MacText(), engine::MacListText(macs));
    EXPECT_EQ(info.GetOsText(), engine::OsText(engine::IsMachine64Bit(platform::MachineName())));
}

TEST(DeviceInfo, HardwareEntriesOnlyAfterOpening) {
    DeviceInfo info;
    JsonValue object = JsonValue::Object();
    EXPECT_EQ(info.AddCpuInfo(object), DeviceInfo::AddNoConnection);
    EXPECT_EQ(info.AddMemoryInfo(object), DeviceInfo::AddNoConnection);
    EXPECT_EQ(info.AddVideoCardInfo(object), DeviceInfo::AddNoConnection);
    EXPECT_EQ(object.WriteFast(), "{}\n");

    EXPECT_EQ(info.OpenWmi(false), DeviceInfo::OpenConnected);
    EXPECT_EQ(info.OpenWmi(false), DeviceInfo::OpenAlready);
    EXPECT_EQ(info.OpenWmi(true), DeviceInfo::OpenConnected);
    EXPECT_EQ(info.AddCpuInfo(object), DeviceInfo::AddRan);
    EXPECT_EQ(info.AddMemoryInfo(object), DeviceInfo::AddRan);
    EXPECT_TRUE(object.Has("CPU"));
    EXPECT_TRUE(object.Has("Memory"));
    EXPECT_TRUE(object.Has("Memory_Total_Capacity"));
    const std::string text = object.WriteFast();
    EXPECT_NE(text.find("\"CPU_Type\":\"Central Processor\""), std::string::npos) << text;

    info.CloseWmi();
    JsonValue after = JsonValue::Object();
    EXPECT_EQ(info.AddCpuInfo(after), DeviceInfo::AddNoConnection);
}

TEST(DeviceInfo, VideoCardMembersLeaveOutWhatIsUnknown) {
    Sandbox box;
    box.Write("drm/card0/device/uevent", "DRIVER=amdgpu\n");
    box.Write("drm/card0/device/mem_info_vram_total", "4294967296\n");
    box.Write("module/amdgpu/version", "5.1\n");
    DeviceInfo::Sources sources;
    sources.sys_class_drm = box.File("drm");
    sources.sys_module = box.File("module");
    DeviceInfo info(sources);
    info.OpenWmi(false);
    JsonValue object = JsonValue::Object();
    ASSERT_EQ(info.AddVideoCardInfo(object), DeviceInfo::AddRan);
    // No PCI ids in the fixture: the name cannot be known and is left out.
    EXPECT_EQ(object.WriteFast(),
              "{\"Video_Card\":[{\"Video_Card_Driver_Version\":\"5.1\",\"Video_Card_Memory_Capacity\":4294967296}]}\n");
}

}  // namespace
