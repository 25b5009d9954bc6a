#include <gtest/gtest.h>

#include <string>

#include "quorvel.h"
#include "storage/file_system.h"
#include "support/file_sweep.h"
#include "support/test_support.h"

namespace {

void runAll(std::initializer_list<const char*> commands) {
  for (const char* command : commands) ExecuteQuery(command);
}

class StopEngineTest : public TempDirTest {
 protected:
  ScopedClock clock{5000};
};

// A power cut at any step of StopEngine's checkpoint: a start finds the
// engine as its last checkpoint left it, or with every command since, the
// listener and the webhook tasks included. Each run is a process of its
// own, since a stop that fails keeps the engine started.
TEST_F(StopEngineTest, APowerCutLeavesTheLastCheckpointOrEveryCommand) {
  const PowerCutSweep sweep{
      [] {
        StartEngine();
        runAll({
            "CREATE TABLE p id ApexInt name string ( 10 )",
            "CREATE TABLE t id ApexInt pid int state string ( 8 ) 3",
            "LINK t . pid --> p . id",
            "INSERT INTO p name = 'ann'",
            "INSERT INTO p name = 'bob'",
            "INSERT INTO t pid = 1 state = 'red' --> 'green' @ 30 s",
            "CHECKPOINT",
            "INSERT INTO p name = 'eve'",
        });
        // A line the system has written back by itself.
        syncFile("vesk.wal");
      },
      [] {
        runAll({
            "INSERT INTO p name = 'cy'",
            "UPDATE p SET name = 'dee' WHERE id = 2",
            "DELETE FROM t WHERE id = 1",
            "INSERT INTO t pid = 3 state = 'blue' --> 'grey' @ 60 s --> 'pink' @ 5 s c",
            "LISTEN p . name --> 'hook' WHERE id > 0",
        });
      },
      [] { StopEngine(); },
      true,
  };
  const PowerCutStates states = sweepPowerCuts(sweep);
  for (const char* part :
       {"[name=ann]", "[name=bob]", "[id=3] [name=eve]", "task 5030 t[0].state=green"}) {
    EXPECT_NE(states.before.find(part), std::string::npos) << part << "\n" << states.before;
  }
  for (const char* part :
       {"[id=3] [name=eve]", "[id=4] [name=cy]", "[name=dee]", "row deleted: [id=1]",
        "listener p.name hook", "task 5060 t[1].state=grey", "task 5070 t[1].state=blue"}) {
    EXPECT_NE(states.after.find(part), std::string::npos) << part << "\n" << states.after;
  }
}

}  // namespace
