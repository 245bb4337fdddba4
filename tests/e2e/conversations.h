// Table rows of emulator-and-velmora conversations, run side by side: each
// row mostly waits out its instrument's silences.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {

struct Conversation {
  using Check = std::function<void(const TempDir&, const std::string& out)>;
  Conversation(std::vector<std::string> sim, std::vector<std::string> args, std::string stdinText = "",
               int status = 0, std::vector<std::string> out = {}, std::vector<std::string> log = {},
               double minSeconds = 0, double maxSeconds = 12, Check check = nullptr)
      : sim(std::move(sim)), args(std::move(args)), stdinText(std::move(stdinText)), status(status),
        out(std::move(out)), log(std::move(log)), minSeconds(minSeconds), maxSeconds(maxSeconds),
        check(std::move(check)) {}
  std::vector<std::string> sim;   // the emulator's family and options
  std::vector<std::string> args;  // velmora's options besides -c
  std::string stdinText;
  int status;
  std::vector<std::string> out;  // each must appear in velmora's output
  std::vector<std::string> log;  // each must appear in the emulator's log
  double minSeconds, maxSeconds;
  Check check;  // the files left behind and the whole output; without it a failed run leaves none
};

// Eight rows at a time: enough to overlap the instruments' silences, few
// enough not to starve the runs of a shared machine.
inline void RunConversations(const std::vector<Conversation>& rows) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < rows.size();) {
      const Conversation& c = rows[i];
      TempDir dir;
      Sim sim(c.sim);
      std::vector<std::string> args = c.args;
      args.push_back("-c" + sim.device());
      RunOptions options;
      options.stdinText = c.stdinText;
      auto start = std::chrono::steady_clock::now();
      RunResult r = RunVelmora(args, dir, options);
      double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::string log = sim.Finish();
      SCOPED_TRACE("row " + std::to_string(i + 1) + "\n" + r.out + "\n--- emulator:\n" + log);
      EXPECT_EQ(r.status, c.status);
      for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << text;
      for (const std::string& text : c.log) EXPECT_NE(log.find(text), std::string::npos) << text;
      EXPECT_GE(seconds, c.minSeconds);
      EXPECT_LT(seconds, c.maxSeconds);
      if (c.check) {
        c.check(dir, r.out);
      } else if (c.status != 0) {
        EXPECT_TRUE(dir.List().empty());
      }
    }
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) workers.emplace_back(work);
  for (std::thread& t : workers) t.join();
}

}  // namespace e2e
