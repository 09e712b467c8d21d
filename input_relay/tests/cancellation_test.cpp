// Cuts a run short at every checkpoint it passes (every sleep slice, window-list query and
// posted event), by signal and by the parent going away, and checks that whatever went down
// came back up and that exactly one failure line was written.
#include "failure.h"
#include "relay_fixture.h"

namespace input_relay::testing {
namespace {

const std::vector<std::string> SCRIPT = {
    "window:8123", "d:4",     "k:10",      "150,150", "click:2",         "down",
    "200,200",     "up",      "scroll:30", "wait:25", "key:cmd+shift+a", "type:QcOpYg==" /* Aéb */,
    "down",        "300,300",
};

int checkpointsOfAFullRun() {
    FakePlatform platform = withWindow();
    int checkpoints = 0;
    platform.onCheckpoint = [&](std::string_view) { ++checkpoints; };
    volatile std::sig_atomic_t cancelled = 0;
    EXPECT_EQ(Relay(platform, SCRIPT, cancelled).run(), 0);
    return checkpoints;
}

TEST(Cancellation, AtEveryCheckpointReleasesEverythingAndWritesOneLine) {
    const int total = checkpointsOfAFullRun();
    ASSERT_GT(total, 100);
    for (bool viaParent : {false, true}) {
        for (int at = 1; at <= total; ++at) {
            SCOPED_TRACE((viaParent ? "parent gone at checkpoint " : "signal at checkpoint ") +
                         std::to_string(at));
            FakePlatform platform = withWindow();
            volatile std::sig_atomic_t cancelled = 0;
            int seen = 0;
            platform.onCheckpoint = [&](std::string_view) {
                if (++seen == at) {
                    if (viaParent) {
                        platform.parentPid = 1;
                    } else {
                        cancelled = 1;
                    }
                }
            };
            const int status = Relay(platform, SCRIPT, cancelled).run();
            const HeldInput held = platform.heldInput();
            EXPECT_FALSE(held.button);
            EXPECT_TRUE(held.keys.empty());
            if (at == total) {
                // The last checkpoint is the final release itself: nothing is left to stop.
                EXPECT_EQ(status, 0);
                EXPECT_EQ(platform.err, "");
            } else {
                EXPECT_EQ(status, 2);
                EXPECT_EQ(platform.err, std::string(messages::CANCELLED) + "\n");
            }
        }
    }
}

}  // namespace
}  // namespace input_relay::testing
