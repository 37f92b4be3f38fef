// The stage sequencer: every transition, driven through swapped work and
// window operations, with the sleeps replaced so a run takes milliseconds.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/bootstrap_state.h"
#include "app/stages.h"
#include "app/window.h"
#include "base/timing.h"

namespace {

// What one scripted run did, in order: "timer+1025", "sleep 5000", "close"...
std::mutex log_mutex;
std::condition_variable log_changed;
std::vector<std::string> events;
bool closed = false;

void record(const std::string& event) {
  std::lock_guard<std::mutex> lock(log_mutex);
  events.push_back(event);
  if (event == "close") closed = true;
  log_changed.notify_all();
}

// The script of one run: what each work step reports.
struct Script {
  bool manifest_ok = false;
  // Results of successive check_install calls: 'f' failed, 'u' up to date,
  // 'o' outdated.
  std::string checks;
  // Results of successive run_update calls: 'f' failed, 'k' ok.
  std::string updates;
  bool launch_succeeds = false;
  // The step that throws ("check", "sleep 10000"...), if any.
  std::string throws;
  // Results of successive thread starts: 'x' refused, anything else started.
  std::string threads;
};
Script script;
size_t check_calls = 0;
size_t update_calls = 0;
size_t thread_calls = 0;

// Records the step and throws when the script says so.
void step(const std::string& event) {
  record(event);
  if (event == script.throws) throw std::runtime_error(event);
}

void fake_prepare() { step("prepare"); }
void fake_fetch() {
  step("fetch");
  bootstrap_state->manifest_ok = script.manifest_ok;
}
void fake_check() {
  step("check");
  char c = check_calls < script.checks.size() ? script.checks[check_calls] : 'u';
  ++check_calls;
  bootstrap_state->failed = c == 'f';
  bootstrap_state->up_to_date = c == 'u';
}
void fake_update() {
  step("update");
  char c = update_calls < script.updates.size() ? script.updates[update_calls] : 'k';
  ++update_calls;
  bootstrap_state->failed = c == 'f';
}
uint32_t fake_launch() {
  step("launch");
  return script.launch_succeeds ? 0 : 4;
}
void fake_start_timer(uint32_t id) { record("timer+" + std::to_string(id)); }
void fake_stop_timer(uint32_t id) { record("timer-" + std::to_string(id)); }
void fake_close() { record("close"); }
void fake_sleep(uint32_t ms) { step("sleep " + std::to_string(ms)); }
bool fake_start_thread(int32_t stage) {
  const size_t call = thread_calls++;
  if (call < script.threads.size() && script.threads[call] == 'x') return false;
  return default_stage_hooks().start_thread(stage);
}
void throwing_paint(UINT_PTR) { throw std::runtime_error("paint"); }

StageHooks fake_hooks() {
  return StageHooks{&fake_prepare,    &fake_fetch,  &fake_check,
                    &fake_update,     &fake_launch, &fake_start_timer,
                    &fake_stop_timer, &fake_close,  &fake_start_thread};
}

class StagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    events.clear();
    closed = false;
    check_calls = update_calls = thread_calls = 0;
    script = Script{};
    internal_error_reported = 0;
    set_stage_hooks(fake_hooks());
    vx::set_sleep_function(&fake_sleep);
  }
  void TearDown() override {
    set_stage_hooks(default_stage_hooks());
    set_window_hooks(default_window_hooks());
    vx::set_sleep_function(nullptr);
    internal_error_reported = 0;
  }

  // Runs from the window being up (stage 1) until the close request.
  std::vector<std::string> run() {
    EXPECT_TRUE(start_stage(1));
    std::unique_lock<std::mutex> lock(log_mutex);
    EXPECT_TRUE(log_changed.wait_for(lock, std::chrono::seconds(10), [] { return closed; }));
    // Give a stray stage a moment to show itself after the close.
    lock.unlock();
    Sleep(50);
    lock.lock();
    return events;
  }
};

using Events = std::vector<std::string>;

TEST_F(StagesTest, MissingManifestGoesToTheErrorScreenForFiveSeconds) {
  script.manifest_ok = false;
  EXPECT_EQ(run(), (Events{"timer+1025", "prepare", "fetch", "timer-1025", "timer+1026",
                           "sleep 5000", "timer-1026", "close"}));
}

TEST_F(StagesTest, FailedFlagDoesNotStopStageOneWhenTheManifestIsComplete) {
  // Stage 1 decides on manifest_ok alone.
  script.manifest_ok = true;
  script.checks = "u";
  script.launch_succeeds = true;
  StageHooks hooks = fake_hooks();
  hooks.fetch_manifest = [] {
    fake_fetch();
    bootstrap_state->failed = true;
  };
  set_stage_hooks(hooks);
  Events e = run();
  EXPECT_EQ(e[4], "timer+1027");
}

TEST_F(StagesTest, UpToDateGoesStraightToLaunch) {
  script.manifest_ok = true;
  script.checks = "u";
  script.launch_succeeds = true;
  EXPECT_EQ(run(), (Events{"timer+1025", "prepare", "fetch", "timer-1025", "timer+1027", "check",
                           "timer-1027", "timer+1029", "launch", "timer-1029", "close"}));
}

TEST_F(StagesTest, CheckFailureGoesToTheErrorScreen) {
  script.manifest_ok = true;
  script.checks = "f";
  Events e = run();
  EXPECT_EQ(Events(e.begin() + 4, e.end()),
            (Events{"timer+1027", "check", "timer-1027", "timer+1026", "sleep 5000", "timer-1026",
                    "close"}));
}

TEST_F(StagesTest, UpdateHoldsTenSecondsThenChecksAgain) {
  script.manifest_ok = true;
  script.checks = "oou";
  script.updates = "kk";
  script.launch_succeeds = true;
  Events e = run();
  EXPECT_EQ(
      Events(e.begin() + 4, e.end()),
      (Events{"timer+1027",  "check",      "timer-1027", "timer+1028", "update",     "sleep 10000",
              "timer-1028",  "timer+1027", "check",      "timer-1027", "timer+1028", "update",
              "sleep 10000", "timer-1028", "timer+1027", "check",      "timer-1027", "timer+1029",
              "launch",      "timer-1029", "close"}));
}

TEST_F(StagesTest, UpdateFailureHoldsTenSecondsThenShowsTheError) {
  script.manifest_ok = true;
  script.checks = "o";
  script.updates = "f";
  Events e = run();
  EXPECT_EQ(Events(e.begin() + 7, e.end()),
            (Events{"timer+1028", "update", "sleep 10000", "timer-1028", "timer+1026", "sleep 5000",
                    "timer-1026", "close"}));
}

TEST_F(StagesTest, LaunchFailureShowsTheError) {
  script.manifest_ok = true;
  script.checks = "u";
  script.launch_succeeds = false;
  Events e = run();
  EXPECT_EQ(Events(e.begin() + 7, e.end()),
            (Events{"timer+1029", "launch", "timer-1029", "timer+1026", "sleep 5000", "timer-1026",
                    "close"}));
}

TEST_F(StagesTest, AnEscapedExceptionEndsOnTheX1Screen) {
  // What follows the step that throws ("paint": a painter, before stage 1
  // has fetched), then the X1 screen unless the error stage itself threw.
  for (const auto& [throws, follows] : std::vector<std::pair<std::string, std::string>>{
           {"prepare", "timer-1025"},
           {"check", "timer-1027"},
           {"sleep 10000", "timer-1028"},
           {"launch", "timer-1029"},
           {"paint", "timer-1025"},
           {"sleep 5000", "timer-1026 close"},
       }) {
    SCOPED_TRACE(throws);
    SetUp();
    script = Script{throws != "sleep 5000", "ou", "", true, throws, ""};
    if (throws == "paint") {
      WindowHooks hooks = default_window_hooks();
      hooks.paint_for_timer = &throwing_paint;
      set_window_hooks(hooks);
      EXPECT_EQ(window_procedure(nullptr, WM_TIMER, kConnectTimer, 0), 0);
    }
    const Events e = run();
    auto at = std::find(e.begin(), e.end(), throws == "paint" ? "fetch" : throws);
    std::string trail;
    while (at != e.end() && ++at != e.end()) trail += (trail.empty() ? "" : " ") + *at;
    EXPECT_EQ(trail,
              script.manifest_ok ? follows + " timer+1026 sleep 5000 timer-1026 close" : follows);
    EXPECT_EQ(internal_error_reported.load(), 1);
    const std::wstring texts = bootstrap_state->error_title + bootstrap_state->error_detail;
    EXPECT_EQ(texts, script.manifest_ok ? L"Критическая ошибкаВнутренняя ошибка. Код X1." : L"");
  }
}

TEST_F(StagesTest, ARefusedStageThreadIsAskedForOnceMore) {
  // Stage 2's thread is refused, and then started or refused again.
  for (const auto& [threads, expected] : std::vector<std::pair<std::string, Events>>{
           {"kxk",
            {"sleep 100", "timer+1027", "check", "timer-1027", "timer+1029", "launch", "timer-1029",
             "close"}},
           {"kxx", {"sleep 100", "close"}},
       }) {
    SCOPED_TRACE(threads);
    SetUp();
    script = Script{true, "", "", true, "", threads};
    const Events e = run();
    EXPECT_EQ(Events(e.begin() + 4, e.end()), expected);
  }
}

TEST_F(StagesTest, StageOneMakesAFreshRecordEachRun) {
  script.manifest_ok = false;
  run();
  BootstrapState* first = bootstrap_state;
  ASSERT_NE(first, nullptr);
  first->failed = true;
  SetUp();
  run();
  ASSERT_NE(bootstrap_state, first);
  EXPECT_FALSE(bootstrap_state->failed);
  EXPECT_EQ(bootstrap_state->progress_total_mb.load(), 0);
  EXPECT_TRUE(bootstrap_state->server_urls.empty());
}

TEST_F(StagesTest, StartStageRefusesNumbersOutsideOneToFive) {
  EXPECT_FALSE(start_stage(0));
  EXPECT_FALSE(start_stage(6));
  EXPECT_FALSE(start_stage(-1));
  Sleep(50);
  std::lock_guard<std::mutex> lock(log_mutex);
  EXPECT_TRUE(events.empty());
}

}  // namespace
