// Shared fixture: a link object on the slave side of a fresh simulated tool controller.
#ifndef TESTS_UNIT_SIMFIXTURE_H
#define TESTS_UNIT_SIMFIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "Bytes.h"
#include "RS232CCom.h"
#include "ToolControllerSim.h"
#include "link/Timing.h"

class SimTest : public ::testing::Test {
  protected:
    tcsim::ToolControllerSim sim;
    RS232CCom com{sim.slavePath()};

    // The controller has received exactly `bytes`, so far.
    void expectWire(const std::string& bytes) {
        sim.waitForBytes(bytes.size(), 3000);
        EXPECT_EQ(sim.received(), bytes);
    }
    // Bytes the controller sends of its own accord, left waiting on the line.
    void pending(const std::string& bytes) {
        int before = sim.pendingOnLine();
        sim.play({tcsim::send(bytes)});
        sim.waitForPending(before + static_cast<int>(bytes.size()), 3000);
    }
};

// What a busy machine may add to a duration a test checks.
constexpr double kSlack = 1.5;

// How long a call takes that waits out `window`: the two fixed pauses, then the window.
inline double waitedOut(std::chrono::duration<double> window) {
    return std::chrono::duration<double>(window + 2 * timing::kPause).count();
}

template <typename Call>
double secondsTaken(Call call) {
    auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

#endif
