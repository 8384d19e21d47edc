#include "runtime/capture_worker.hpp"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>

#include <memory>

#include <openssl/crypto.h>

namespace vigilorb::runtime::captureWorker {

namespace {

// Captures hash with libcrypto, which keeps per-thread state until the thread says it is done.
class CaptureThread final : public QThread {
protected:
    void run() override {
        exec();
        OPENSSL_thread_stop();
    }
};

class Worker {
public:
    Worker() {
        // libcrypto must be set up before this object exists: its clean-up at exit is registered
        // then, so it runs after our destructor has stopped the thread. Set up later (by the
        // first capture), it would run first and the thread's state would outlive it.
        OPENSSL_init_crypto(0, nullptr);
        thread_.setObjectName("capture");
        thread_.start(QThread::LowPriority);
        context_.moveToThread(&thread_);
    }
    ~Worker() {
        // Ends after the capture under way, if any; queued ones are dropped.
        thread_.quit();
        thread_.wait();
    }
    QObject* context() { return &context_; }

private:
    CaptureThread thread_;
    QObject context_;
};

Worker& worker() {
    static Worker instance;
    return instance;
}

}  // namespace

void run(QObject* receiver, std::function<Done()> work) {
    QPointer<QObject> target(receiver);
    QMetaObject::invokeMethod(
        worker().context(),
        [target, work = std::move(work)] {
            auto done = work();
            // The receiver is checked on the main thread, where it is destroyed.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [target, done = std::move(done)] {
                    if (target && done) done();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

}  // namespace vigilorb::runtime::captureWorker
