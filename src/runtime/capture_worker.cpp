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
        // libcrypto is set up here, on the main thread, before the capture thread exists: its
        // one-time set-up (reading the configuration) leaves per-thread state on whichever thread
        // does it, which nothing frees on a thread that ends before libcrypto's exit clean-up.
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
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
