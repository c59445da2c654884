// Runs the program's pipe worker, PipeServerThread, on a thread of its own as run control
// does, with standard output captured: what the program prints for one run of the worker.
#pragma once

#include "control/run_state.h"
#include "pipe/exchange.h"
#include "pipe_test_support.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// 'meanwhile' runs on the calling thread while the worker runs: a client, for instance. A
// worker still blocked 10 s later (waiting for a client that a test never meant to come) is
// left to the end of the process, and said so in what is returned.
inline std::string RunWorker(const std::function<void()> &meanwhile = {}) {
    RunState.exchangeDone = 0;
    RunState.pipeHandle = INVALID_HANDLE_VALUE;
    OutputCapture output;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    std::thread worker([ended] {
        PipeServerThread(nullptr);
        *ended = true;
    });
    if (meanwhile) {
        meanwhile();
    }
    for (int waited = 0; !*ended && waited < 10000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (*ended) {
        worker.join();
    } else {
        worker.detach();
    }
    std::string printed = output.Finish();
    if (!*ended) {
        printed += "<the worker is still running>";
    }
    return printed;
}
