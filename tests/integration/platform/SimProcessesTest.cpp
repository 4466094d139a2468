#include "integration/platform/SimFixture.h"

namespace ostrovane::testing_support {
namespace {

using namespace platform;
using namespace platform::sim;

class SimProcessesTest : public SimFixture {
  protected:
    ChildProcessHandlers recording() {
        return {
            [this](std::vector<std::uint8_t> c) { chunks.add(std::string(c.begin(), c.end())); },
            [this](Termination t) { exits.add(t); }};
    }
    contract::Recorder<std::string> chunks;
    contract::Recorder<Termination> exits;
};

TEST_F(SimProcessesTest, ChunksKeepTheirScriptedBoundariesEvenInsideACharacter) {
    world.childProcesses().pushScript("/usr/bin/log",
                                      SimChildScript{}.write("caf\xC3").write("\xA9 ok\n").exit(0));
    auto child = world.childProcesses().launch({"/usr/bin/log", {"stream"}}, recording());
    ASSERT_TRUE(child.ok());
    clock.settle();
    EXPECT_EQ(chunks.values(), (std::vector<std::string>{"caf\xC3", "\xA9 ok\n"}));
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(world.childProcesses().launches().front().arguments,
              std::vector<std::string>{"stream"});
}

TEST_F(SimProcessesTest, StepsRunAtTheirTimesAndScriptsAreUsedOncePerLaunch) {
    auto& processes = world.childProcesses();
    processes.pushScript(
        "/bin/tool",
        SimChildScript{}.write("a\n", dispatch::seconds(1)).exit(1, dispatch::seconds(4)));
    processes.pushScript("/bin/tool",
                         SimChildScript::failingLaunch({"NSPOSIXErrorDomain", 2, "gone"}));

    ASSERT_TRUE(processes.launch({"/bin/tool", {}}, recording()).ok());
    clock.advanceSeconds(0.5);
    EXPECT_EQ(chunks.size(), 0u);
    clock.advanceSeconds(0.5);
    EXPECT_EQ(chunks.size(), 1u);
    clock.advanceSeconds(3.9);
    EXPECT_EQ(exits.size(), 0u);
    clock.advanceSeconds(0.1);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits.values()[0], (Termination{Termination::Reason::exit, 1}));

    auto second = processes.launch({"/bin/tool", {}}, recording());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().message, "gone");
    EXPECT_EQ(processes.launches().size(), 2u);
}

TEST_F(SimProcessesTest, TerminationSilencesTheRestOfTheScript) {
    world.childProcesses().pushScript(
        "/bin/slow", SimChildScript{}.write("early").write("late", dispatch::seconds(5)));
    auto child = world.childProcesses().launch({"/bin/slow", {}}, recording());
    ASSERT_TRUE(child.ok());
    clock.advanceSeconds(1);
    child.value()->terminate();
    clock.advanceSeconds(10);
    EXPECT_EQ(chunks.values(), std::vector<std::string>{"early"});
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits.values()[0].reason, Termination::Reason::uncaughtSignal);
}

TEST_F(SimProcessesTest, ApplicationsPathsAndBundlesAreAsScripted) {
    auto& apps = world.applications();
    apps.addApplication(
        {501, "com.example.Call", "Call", "/Applications/Call.app/Contents/MacOS/Call"});
    apps.setExecutablePath(
        502,
        "/Applications/Call.app/Contents/Frameworks/Call Helper.app/Contents/MacOS/Call Helper");
    apps.addBundle(
        {"/Applications/Call.app",
         "com.example.Call",
         {{"CFBundleName", std::string("Call")}, {"CFBundleDisplayName", std::int64_t{3}}}});

    ASSERT_EQ(apps.runningApplications().size(), 1u);
    EXPECT_FALSE(apps.runningApplication(502)) << "a helper process is no registered application";
    EXPECT_EQ(apps.executablePath(501), "/Applications/Call.app/Contents/MacOS/Call");
    EXPECT_TRUE(apps.executablePath(502));
    auto bundle = apps.openBundle("/Applications/Call.app/");
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->infoString("CFBundleName"), "Call");
    EXPECT_FALSE(bundle->infoString("CFBundleDisplayName")) << "not a string";
    EXPECT_FALSE(apps.openBundle("/Applications/Call.app/Contents"));
}

TEST_F(SimProcessesTest, EncoderAndOfflineEngineFaultsAreScripted) {
    auto& encoders = world.videoEncoders();
    encoders.failCreation(-12915);
    EXPECT_EQ(encoders.create({640, 360, 1'000'000, 10}).status, -12915);
    encoders.failCreation(0);

    auto created = encoders.create({640, 360, 1'000'000, 3});
    ASSERT_TRUE(created.encoder);
    contract::Recorder<std::pair<EncoderStatus, bool>> out;
    auto record = [&](EncoderStatus s, std::optional<EncodedFrame> f) {
        out.add({s, f && f->isKeyframe});
    };
    Image image(640, 360);
    for (int i = 0; i < 4; ++i)
        created.encoder->encode(image, {i, 10}, {1, 10}, false, record);
    encoders.failOutput(-12911);
    created.encoder->encode(image, {4, 10}, {1, 10}, false, record);
    encoders.failEncode(-12912);
    EXPECT_EQ(created.encoder->encode(image, {5, 10}, {1, 10}, false, record), -12912);
    created.encoder->completeFrames();
    EXPECT_EQ(out.values(), (std::vector<std::pair<EncoderStatus, bool>>{
                                {0, true}, {0, false}, {0, false}, {0, true}, {-12911, false}}));

    auto& offline = world.offlineAudio();
    offline.failStart(Error{"com.apple.coreaudio.avfaudio", -10851, "Cannot start"});
    auto engine = offline.create();
    const AudioFormat format(CommonFormat::pcmFloat32, 48000, 2, false);
    ASSERT_FALSE(engine->enableManualRendering(format, 960));
    EXPECT_EQ(engine->start()->code, -10851);
    offline.failStart(std::nullopt);
    ASSERT_FALSE(engine->start());
    offline.pushRenderAnswer(RenderStatus::cannotDoInCurrentContext);
    offline.pushRenderAnswer(Error{"com.apple.coreaudio.avfaudio", -1, "thrown"});
    PcmBuffer buffer(format, 960);
    EXPECT_EQ(engine->renderOffline(960, buffer).value(), RenderStatus::cannotDoInCurrentContext);
    EXPECT_FALSE(engine->renderOffline(960, buffer).ok());
    EXPECT_EQ(engine->renderOffline(960, buffer).value(), RenderStatus::success);
}

}  // namespace
}  // namespace ostrovane::testing_support
