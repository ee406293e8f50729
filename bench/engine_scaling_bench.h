// Throughput of one and two threads encrypting and signing through the
// engine, each thread with an engine of its own.
#pragma once

namespace cryptlib::bench {

void RegisterScaling();

}  // namespace cryptlib::bench
