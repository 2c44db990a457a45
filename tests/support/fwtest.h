// Shared fixture of the firmware tests: a fresh simulated kernel in manual
// time, an empty heap, and the console UART captured into a string.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hostkernel.h"

class FirmwareTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Everything the firmware wrote to the console UART since the last clear.
    static std::string Console();
    static void ClearConsole();
};

// After hostKernelReset: the drivers' open units forgotten (their tasks and
// the peripherals' state went with the reset), so that each test of a binary
// starts as after power-up.
void restartDrivers();

// In a death-test child: the fatal path is wired as at start-up and the
// console UART goes to standard error, so that the fatal line can be matched
// by the death test.
void consoleToStderr();

// Expects `statement` to stop the firmware with `code` and the console to show
// a fatal line matching `regex`.
#define EXPECT_FATAL(statement, code, regex)                                                       \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            consoleToStderr();                                                                     \
            statement;                                                                             \
        },                                                                                         \
        ::testing::ExitedWithCode(hostExitStatusForFatal(code)), regex)
