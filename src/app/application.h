#pragma once

// The program's entry: sets up the state, shows the window, runs until it is
// closed, and ends the process with exit code 0. Does not return.
[[noreturn]] void runApplication();
