#pragma once

// The test suite runs the real programs many times; what they would wait
// for real (the start-up's two seconds, the fax link's second of connect
// attempts, the monitor's post timeout) it shortens through the environment:
//
//   KAVREL_TEST_DELAYS=wait=0,connect=200,post=300
//
// Milliseconds, by name. Not a setting: nothing the program does changes but
// how long it waits.
namespace TestDelays {

// The delay given for name, or fallback.
int value(const char *name, int fallback);

} // namespace TestDelays
