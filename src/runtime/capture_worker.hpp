#pragma once
// The one background thread of the observers' file captures (Codex home, Claude Desktop
// files). Captures run one at a time, below normal priority, on a thread that lives as long as
// the process: a pool would start a thread per concurrent capture, and each thread that ever
// allocated keeps a malloc arena of its own.

#include <QObject>

#include <functional>

namespace vigilorb::runtime::captureWorker {

// Continuation of a capture, run on the main thread.
using Done = std::function<void()>;

// Runs `work` on the worker; then the continuation it returns on the main thread, unless
// `receiver` has been destroyed by then.
void run(QObject* receiver, std::function<Done()> work);

}  // namespace vigilorb::runtime::captureWorker
