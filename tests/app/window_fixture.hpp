#pragma once
// What the window tests share: one QApplication on the offscreen platform, a runtime over a
// scratch folder, the real transport panel over an in-memory key store and a scratch autostart
// file, and waiting on conditions instead of sleeping.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <functional>
#include <memory>

#include "app/companion_transport_panel.hpp"
#include "app/status_window.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "qr_decode.hpp"
#include "security/key_store.hpp"
#include "temp_dir.hpp"

namespace vigilorb::test {

// The one made by qt_main.cpp.
inline QApplication& application() { return *static_cast<QApplication*>(QCoreApplication::instance()); }

// Runs the event loop until `condition` holds or a generous deadline passes.
inline bool eventually(const std::function<bool()>& condition, int milliseconds = 20000) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qWait(5);
    }
    return true;
}

template <class T = QWidget>
T* child(QWidget& root, const char* objectName) {
    auto* found = root.findChild<T*>(QString::fromLatin1(objectName));
    EXPECT_NE(found, nullptr) << objectName;
    return found;
}

inline QString labelText(QWidget& root, const char* objectName) {
    auto* label = child<QLabel>(root, objectName);
    return label ? label->text() : QString();
}

// The folder where tests leave pictures for people to look at.
inline std::filesystem::path artifactFolder() {
    const char* bin = std::getenv("VIGILORB_BIN_DIR");
    auto folder = std::filesystem::path(bin ? bin : ".") / ".." / "artifacts";
    std::filesystem::create_directories(folder);
    return folder.lexically_normal();
}

struct WindowFixture : ::testing::Test {
    TempDir dir;
    std::filesystem::path home = dir / "home";
    Date now = Date::fromReference(800000000);
    MemoryPreferences preferences;
    security::InMemorySecretItemBackend* secrets = nullptr;  // owned by the controller
    security::CompanionIdentity identity{"mac-3f1c2a9e-5b7d-4c1e-9a2b-7e6f5d4c3b2a", "Ann's Workstation"};
    std::chrono::milliseconds timeRefresh{30000};
    std::unique_ptr<runtime::ProviderRuntimeController> runtime;
    std::unique_ptr<transport::CompanionTransportController> controller;
    std::unique_ptr<app::CompanionTransportPanel> transport;
    std::unique_ptr<app::CompanionStatusWindow> window;

    paths::Environment environment() const {
        return [home = home](const char* name) -> std::optional<std::string> {
            std::string n = name;
            if (n == "HOME") return home.string();
            if (n == "XDG_CONFIG_HOME") return (home / "config").string();
            if (n == "XDG_DATA_HOME") return (home / "data").string();
            if (n == "PATH") return std::string("/nonexistent");
            return std::nullopt;
        };
    }

    runtime::ProviderRuntimeOptions runtimeOptions() {
        runtime::ProviderRuntimeOptions o;
        o.environment = environment();
        o.clock = [this] { return now; };
        o.preferences = &preferences;
        o.claudeCLIFallbackFolders = {};
        o.sides = {};
        o.executablePath = [] { return std::filesystem::path("/usr/bin/vigilorb-companion"); };
        return o;
    }

    std::filesystem::path autostart() const {
        return home / "config" / "autostart" / "com.tarnbrook.VigilorbCompanion.desktop";
    }

    // Opens the window over a new runtime. Unless `beforeStartUp`, waits until the runtime's
    // start-up task has published the stored snapshot, so that what a test publishes stays.
    void open(runtime::ProviderRuntimeOptions options, bool beforeStartUp = false) {
        application();
        runtime = std::make_unique<runtime::ProviderRuntimeController>(std::move(options));
        bool started = false;
        QObject::connect(runtime.get(), &runtime::ProviderRuntimeController::startedUp, [&started] { started = true; });
        auto backend = std::make_unique<security::InMemorySecretItemBackend>();
        secrets = backend.get();
        transport::CompanionTransportController::Options c;
        c.clock = [this] { return now; };
        c.currentSnapshot = [this] { return runtime->snapshot(); };
        // The local link of a test listens on loopback only and is not advertised.
        c.link.advertise = false;
        c.link.listenAddress = QHostAddress::LocalHost;
        controller = std::make_unique<transport::CompanionTransportController>(identity, preferences, std::move(backend), std::move(c));
        runtime->setPublishSink([this](const store::CompanionSnapshot& s) { controller->publish(s); });
        app::CompanionTransportPanel::Options t;
        t.controller = controller.get();
        t.preferences = &preferences;
        t.loginItems = std::make_unique<desktop::XdgAutostartService>(autostart(), "/opt/build/bin/vigilorb-companion");
        t.runningPath = "/opt/build/bin/vigilorb-companion";
        t.installPrefix = std::filesystem::path("/usr/local");
        transport = std::make_unique<app::CompanionTransportPanel>(std::move(t));
        app::CompanionStatusWindow::Options w;
        w.version = "0.1.0";
        w.clock = [this] { return now; };
        w.preferences = &preferences;
        w.timeRefreshPeriod = timeRefresh;
        window = std::make_unique<app::CompanionStatusWindow>(*runtime, *transport, identity, std::move(w));
        window->resize(820, 1400);
        window->show();
        if (!beforeStartUp) {
            ASSERT_TRUE(eventually([&] { return started; }));
        }
        QObject::disconnect(runtime.get(), &runtime::ProviderRuntimeController::startedUp, nullptr, nullptr);
    }
    void open() { open(runtimeOptions()); }

    // What the key store holds for this companion.
    std::optional<security::LocalPairingKey> storedKey() { return security::KeychainPairingKeyStore(*secrets).load(identity.id).value(); }

    void TearDown() override {
        window.reset();
        transport.reset();
        if (runtime) runtime->setPublishSink({});
        controller.reset();
        runtime.reset();
    }
};

}  // namespace vigilorb::test

namespace vigilorb::test {

// What a real decoder reads from the picture (zbarimg, the QR symbology only).
inline std::string decodeQR(const QImage& image) {
    TempDir scratch;
    auto file = scratch / "code.png";
    if (!image.save(QString::fromStdString(file.string()))) return "(not saved)";
    return zbarDecode(file);
}

}  // namespace vigilorb::test
