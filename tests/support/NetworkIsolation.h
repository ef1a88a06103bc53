#pragma once

namespace tessel::test {

// Every test process moves itself into a private network namespace holding only loopback before
// main runs, so nothing a test starts (the whole program looks for a router by itself) can reach
// a real network. True when that worked; tests that start the whole program skip otherwise.
bool NetworkIsolated();

}  // namespace tessel::test
