#include "app/status_window.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>

#include "app/icons.hpp"
#include "runtime/claude_code_runtime_side.hpp"
#include "runtime/claude_desktop_runtime_side.hpp"
#include "runtime/codex_runtime_side.hpp"

namespace vigilorb::app {

namespace {

QString qt(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QLabel* text(const QString& s, QWidget* parent, bool wrap = true) {
    auto* label = new QLabel(s, parent);
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* secondaryText(const QString& s, QWidget* parent) {
    auto* label = text(s, parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

QLabel* iconLabel(Icon icon, QWidget* parent, const QString& accessibleName = {}) {
    auto* label = new QLabel(parent);
    label->setPixmap(themedIcon(icon).pixmap(16, 16));
    label->setFixedSize(18, 18);
    if (!accessibleName.isEmpty()) label->setAccessibleName(accessibleName);
    return label;
}

void setHealth(QLabel* label, bool healthy) {
    label->setPixmap(themedIcon(healthy ? Icon::healthy : Icon::unhealthy).pixmap(16, 16));
    label->setAccessibleName(healthy ? "Healthy" : "Needs attention");
    label->setToolTip(label->accessibleName());
}

QPushButton* button(const QString& label, const char* objectName, QWidget* parent) {
    auto* b = new QPushButton(label, parent);
    b->setObjectName(objectName);
    b->setAccessibleName(label);
    return b;
}

void setButtonText(QPushButton* b, const QString& label) {
    b->setText(label);
    b->setAccessibleName(label);
}

QGroupBox* section(const QString& title, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    box->setAccessibleName(title);
    return box;
}

QHBoxLayout* labelled(Icon icon, const QString& s, QWidget* parent) {
    auto* row = new QHBoxLayout;
    row->addWidget(iconLabel(icon, parent));
    row->addWidget(text(s, parent), 1);
    return row;
}

// "42% used" for a window; the bar itself stops at 100.
QString usedText(double percentage) {
    return QString::number(static_cast<long long>(std::lround(percentage))) + "% used";
}

bool sameQuotas(const std::vector<desktop::QuotaRow>& a, const std::vector<desktop::QuotaRow>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].key != b[i].key || a[i].windows != b[i].windows) return false;
    return true;
}

}  // namespace

CompanionStatusWindow::CompanionStatusWindow(runtime::ProviderRuntimeController& runtime, TransportPanel& transport,
                                             const security::CompanionIdentity& identity, Options options, QWidget* parent)
    : QMainWindow(parent),
      runtime_(runtime),
      transport_(transport),
      identity_(identity),
      options_(std::move(options)),
      tasks_(options_.clock) {
    setObjectName("companionStatusWindow");
    setWindowTitle("Tallyloom Companion");
    setWindowIcon(themedIcon(Icon::application));

    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(18, 18, 18, 18);
    layout->setSpacing(14);
    for (auto* part : {buildHeader(), buildDataLayer(), buildQuotasAndTasks(), buildAccounts(), buildCowork(),
                       buildPairing(), buildContinuousSync(), buildBoundaries()})
        layout->addWidget(part);
    layout->addStretch();

    scroll_ = new QScrollArea;
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidget(column);
    setCentralWidget(scroll_);
    resize(760, 900);

    // Keyboard users see what has focus: the scroll area follows it.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && scroll_->widget()->isAncestorOf(now)) scroll_->ensureWidgetVisible(now, 20, 40);
    });

    connect(&runtime_, &runtime::ProviderRuntimeController::snapshotChanged, this, &CompanionStatusWindow::showSnapshot);
    connect(&runtime_, &runtime::ProviderRuntimeController::accountStatusesChanged, this,
            &CompanionStatusWindow::showAccountRows);
    connect(&runtime_, &runtime::ProviderRuntimeController::codexSummaryChanged, this, &CompanionStatusWindow::showSummaries);
    connect(&runtime_, &runtime::ProviderRuntimeController::claudeSummaryChanged, this, &CompanionStatusWindow::showSummaries);
    connect(&runtime_, &runtime::ProviderRuntimeController::claudeDesktopObserverChanged, this,
            &CompanionStatusWindow::showObserver);
    connect(&transport_, &TransportPanel::statusChanged, this, &CompanionStatusWindow::showTransport);
    connect(&transport_, &TransportPanel::launchesAtLoginChanged, this, &CompanionStatusWindow::showTransport);

    timeRefresh_.setInterval(options_.timeRefreshPeriod);
    connect(&timeRefresh_, &QTimer::timeout, this, &CompanionStatusWindow::refreshTimes);
    timeRefresh_.start();

    showSnapshot();
    showAccountRows();
    showSummaries();
    showObserver();
    showPairingState();
    showTransport();
}

QWidget* CompanionStatusWindow::buildHeader() {
    auto* header = new QWidget(this);
    auto* layout = new QVBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* titleRow = new QHBoxLayout;
    auto* logo = new QLabel(header);
    logo->setPixmap(themedIcon(Icon::application).pixmap(40, 40));
    titleRow->addWidget(logo);
    auto* titles = new QVBoxLayout;
    auto* title = text("Tallyloom Companion", header);
    title->setObjectName("windowTitle");
    QFont big = title->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    title->setFont(big);
    auto* subtitle = secondaryText(QString::fromUtf8("v%1 \u00B7 %2 \u00B7 Local read-only companion")
                                       .arg(qt(options_.version), qt(identity_.name)),
                                   header);
    subtitle->setObjectName("windowSubtitle");
    titles->addWidget(title);
    titles->addWidget(subtitle);
    titleRow->addLayout(titles, 1);
    layout->addLayout(titleRow);

    auto* connectors = new QGridLayout;
    connectors->setColumnStretch(2, 1);
    connectors->addWidget(iconLabel(Icon::code, header), 0, 0);
    auto* codexName = text("Codex Connector", header, false);
    QFont bold = codexName->font();
    bold.setBold(true);
    codexName->setFont(bold);
    connectors->addWidget(codexName, 0, 1);
    codexSummary_ = text({}, header);
    codexSummary_->setObjectName("codexSummary");
    connectors->addWidget(codexSummary_, 0, 2);
    codexHealth_ = new QLabel(header);
    codexHealth_->setObjectName("codexHealth");
    connectors->addWidget(codexHealth_, 0, 3);
    connectors->addWidget(iconLabel(Icon::sparkles, header), 1, 0);
    auto* claudeName = text("Claude Connector", header, false);
    claudeName->setFont(bold);
    connectors->addWidget(claudeName, 1, 1);
    claudeSummary_ = text({}, header);
    claudeSummary_->setObjectName("claudeSummary");
    connectors->addWidget(claudeSummary_, 1, 2, 1, 2);
    layout->addLayout(connectors);
    return header;
}

QWidget* CompanionStatusWindow::buildDataLayer() {
    auto* box = section("Local Data Layer", this);
    auto* layout = new QVBoxLayout(box);
    auto* counts = new QHBoxLayout;
    auto count = [&](const char* label, const char* name) {
        auto* cell = new QVBoxLayout;
        auto* number = text("0", box, false);
        number->setObjectName(name);
        QFont f = number->font();
        f.setPointSizeF(f.pointSizeF() * 1.5);
        f.setBold(true);
        number->setFont(f);
        cell->addWidget(number);
        cell->addWidget(secondaryText(label, box));
        counts->addLayout(cell, 1);
        return number;
    };
    accountCount_ = count("Account Snapshots", "accountSnapshotCount");
    taskCount_ = count("Task States", "taskStateCount");
    approvalCount_ = count("Approvals", "approvalCount");
    layout->addLayout(counts);
    auto* badges = new QHBoxLayout;
    badges->addLayout(labelled(Icon::key, "Authenticated Snapshot v1", box));
    badges->addLayout(labelled(Icon::shield, "No Global Writes", box));
    layout->addLayout(badges);
    return box;
}

QWidget* CompanionStatusWindow::buildQuotasAndTasks() {
    auto* box = section("Quotas and Tasks", this);
    auto* layout = new QVBoxLayout(box);
    auto* quotas = new QWidget(box);
    quotaGrid_ = new QGridLayout(quotas);
    quotaGrid_->setContentsMargins(0, 0, 0, 0);
    quotaGrid_->setColumnStretch(2, 1);
    layout->addWidget(quotas);
    noQuotas_ = secondaryText("No quota reported yet", box);
    layout->addWidget(noQuotas_);

    taskView_ = new QTableView(box);
    taskView_->setObjectName("taskList");
    taskView_->setAccessibleName("Tasks");
    taskView_->setModel(&tasks_);
    taskView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    taskView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    taskView_->setShowGrid(false);
    taskView_->setAlternatingRowColors(true);
    taskView_->setWordWrap(false);
    taskView_->setTextElideMode(Qt::ElideRight);
    taskView_->verticalHeader()->hide();
    taskView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    auto* header = taskView_->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(TaskListModel::title, QHeaderView::Stretch);
    taskView_->setMinimumHeight(160);
    taskView_->setMaximumHeight(280);
    layout->addWidget(taskView_);
    noTasks_ = secondaryText("No task reported yet", box);
    layout->addWidget(noTasks_);

    auto* notify = new QCheckBox("Notify When an Agent Waits for Approval", box);
    notify->setObjectName("notifyApprovals");
    notify->setAccessibleName(notify->text());
    notify->setChecked(options_.preferences ? options_.preferences->boolean(notifyApprovalsKey).value_or(true) : true);
    connect(notify, &QCheckBox::toggled, this, [this](bool on) {
        if (options_.preferences) options_.preferences->setBoolean(notifyApprovalsKey, on);
        emit notifyApprovalsChanged(on);
    });
    layout->addWidget(notify);
    return box;
}

QWidget* CompanionStatusWindow::buildAccounts() {
    auto* box = section("Provider Accounts", this);
    auto* layout = new QVBoxLayout(box);
    auto* form = new QFormLayout;
    accountID_ = new QLineEdit("codex-default", box);
    accountID_->setObjectName("accountID");
    accountID_->setAccessibleName("Account ID");
    form->addRow("Account ID", accountID_);
    layout->addLayout(form);
    isolated_ = new QCheckBox("Isolated CODEX_HOME", box);
    isolated_->setObjectName("isolatedCodexHome");
    isolated_->setAccessibleName(isolated_->text());
    layout->addWidget(isolated_);
    layout->addWidget(secondaryText("Authorization files for an isolated account stay in the Companion Application "
                                    "Support directory. Sign in to Codex locally with this CODEX_HOME first.",
                                    box));
    auto* buttons = new QHBoxLayout;
    auto* start = button("Start Codex", "startCodex", box);
    start->setToolTip("Start read-only Codex quota and task capture");
    auto* prepare = button("Prepare Claude", "prepareClaude", box);
    prepare->setToolTip("Prepare an isolated Claude Status Line and Hooks connector");
    auto* refresh = button("Refresh", "refreshCodex", box);
    buttons->addWidget(start);
    buttons->addWidget(prepare);
    buttons->addWidget(refresh);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(start, &QPushButton::clicked, this, [this] {
        if (auto* codex = runtime_.side<runtime::CodexRuntimeSide>())
            codex->connectAccount(accountID_->text().toStdString(), isolated_->isChecked());
    });
    connect(prepare, &QPushButton::clicked, this,
            [this] {
                if (auto* claude = runtime_.side<runtime::ClaudeCodeRuntimeSide>())
                    claude->prepareConnector(accountID_->text().toStdString());
            });
    connect(refresh, &QPushButton::clicked, this, [this] {
        if (auto* codex = runtime_.side<runtime::CodexRuntimeSide>()) codex->refresh();
    });
    auto* rows = new QWidget(box);
    rows->setObjectName("accountRows");
    accountRows_ = new QVBoxLayout(rows);
    accountRows_->setContentsMargins(0, 4, 0, 0);
    layout->addWidget(rows);
    return box;
}

QWidget* CompanionStatusWindow::buildCowork() {
    auto* box = section("Claude Cowork Local Event Observer", this);
    auto* layout = new QVBoxLayout(box);
    auto* intro = new QHBoxLayout;
    intro->addWidget(iconLabel(Icon::observer, box), 0, Qt::AlignTop);
    intro->addWidget(text(QString::fromUtf8(
                              "Observes local Cowork session metadata and lifecycle events written by Claude without "
                              "Accessibility access. Only titles, states, and update times are synced\u2014never "
                              "message text, tool input, attachments, or credentials."),
                          box),
                     1);
    layout->addLayout(intro);
    observerStatus_ = text({}, box);
    observerStatus_->setObjectName("claudeDesktopObserverStatus");
    layout->addWidget(observerStatus_);
    auto* form = new QFormLayout;
    claudeAccountID_ = new QLineEdit(qt(runtime::claude_desktop_texts::defaultAccount), box);
    claudeAccountID_->setObjectName("claudeAccountID");
    claudeAccountID_->setAccessibleName("Claude Account ID");
    form->addRow("Claude Account ID", claudeAccountID_);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    auto* scan = button("Scan Now", "scanNow", box);
    observerToggle_ = button("Start Observing", "toggleClaudeDesktopObserver", box);
    buttons->addWidget(scan);
    buttons->addWidget(observerToggle_);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(scan, &QPushButton::clicked, this, [this] {
        auto* desktopSide = runtime_.side<runtime::ClaudeDesktopRuntimeSide>();
        if (!desktopSide || !desktopSide->accountID()) return;
        desktopSide->start(*desktopSide->accountID());
    });
    connect(observerToggle_, &QPushButton::clicked, this, [this] {
        auto* desktopSide = runtime_.side<runtime::ClaudeDesktopRuntimeSide>();
        if (!desktopSide) return;
        if (runtime_.claudeDesktopObserverEnabled()) desktopSide->stop();
        else desktopSide->start(claudeAccountID_->text().toStdString());
    });
    return box;
}

QWidget* CompanionStatusWindow::buildPairing() {
    auto* box = section("Local Pairing", this);
    auto* layout = new QVBoxLayout(box);
    auto* row = new QHBoxLayout;
    pairingButton_ = button("Generate Pairing Code", "generatePairingInvitation", box);
    pairingButton_->setIcon(themedIcon(Icon::phone));
    row->addWidget(pairingButton_);
    row->addStretch();
    layout->addLayout(row);
    pairingCaption_ = text({}, box);
    pairingCaption_->setObjectName("pairingCaption");
    QFont f = pairingCaption_->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    pairingCaption_->setFont(f);
    layout->addWidget(pairingCaption_);
    connect(pairingButton_, &QPushButton::clicked, this, &CompanionStatusWindow::generatePairingInvitation);
    return box;
}

QWidget* CompanionStatusWindow::buildContinuousSync() {
    auto* box = section("Continuous Sync", this);
    auto* layout = new QVBoxLayout(box);
    layout->addWidget(text(QString::fromUtf8(
                               "After the first confirmed scan, trusted iPhones reconnect automatically. The cloud "
                               "stores only end-to-end encrypted quota and task snapshots\u2014never provider "
                               "credentials, chat text, or files."),
                           box));
    transportStatus_ = text({}, box);
    transportStatus_->setObjectName("transportStatus");
    layout->addWidget(transportStatus_);
    launchAtLogin_ = new QCheckBox("Launch at Login", box);
    launchAtLogin_->setObjectName("launchAtLogin");
    launchAtLogin_->setAccessibleName("Launch at Login");
    launchAtLogin_->setIcon(themedIcon(Icon::power));
    layout->addWidget(launchAtLogin_);
    // Only a user's click changes the setting; showing the real state must not call back.
    connect(launchAtLogin_, &QCheckBox::clicked, this, [this](bool on) { transport_.setLaunchesAtLogin(on); });
    auto* relayRow = new QHBoxLayout;
    auto* relayLabel = text("Cloud Sync Address", box, false);
    relayAddress_ = new QLineEdit(transport_.relayAddress(), box);
    relayAddress_->setObjectName("relayAddress");
    relayAddress_->setAccessibleName("Cloud Sync Address");
    relayAddress_->setPlaceholderText("https://relay.example.com");
    relayLabel->setBuddy(relayAddress_);
    auto* save = button("Save Cloud Sync Address", "saveRelayAddress", box);
    relayRow->addWidget(relayLabel);
    relayRow->addWidget(relayAddress_, 1);
    relayRow->addWidget(save);
    layout->addLayout(relayRow);
    connect(save, &QPushButton::clicked, this, [this] { transport_.changeRelayAddress(relayAddress_->text()); });
    connect(relayAddress_, &QLineEdit::returnPressed, save, &QPushButton::click);
    return box;
}

QWidget* CompanionStatusWindow::buildBoundaries() {
    auto* box = section("Security Boundaries", this);
    auto* layout = new QVBoxLayout(box);
    for (const char* statement :
         {"Does not read or sync provider credentials", "Does not execute remote tasks",
          "Does not approve permission requests", "Does not modify existing global configuration",
          "Claude Cowork reads only local titles and lifecycle states"})
        layout->addLayout(labelled(Icon::lock, statement, box));
    auto* keys = labelled(Icon::key, transport_.keyStorage(), box);
    keys->itemAt(keys->count() - 1)->widget()->setObjectName("keyStorage");
    layout->addLayout(keys);
    return box;
}

void CompanionStatusWindow::showSnapshot() {
    const auto& snapshot = runtime_.snapshot();
    QLocale locale;
    accountCount_->setText(locale.toString(static_cast<qlonglong>(snapshot.quotasByAccount.size())));
    taskCount_->setText(locale.toString(static_cast<qlonglong>(snapshot.tasksByID.size())));
    approvalCount_->setText(locale.toString(static_cast<qlonglong>(snapshot.pendingActionsByID.size())));
    showQuotas();
    tasks_.setSnapshot(snapshot);
    taskView_->setVisible(!snapshot.tasksByID.empty());
    noTasks_->setVisible(snapshot.tasksByID.empty());
}

void CompanionStatusWindow::showQuotas() {
    auto rows = desktop::quotaRows(runtime_.snapshot());
    if (sameQuotas(rows, shownQuotas_) && !resetLabels_.empty() == !rows.empty()) return refreshTimes();
    shownQuotas_ = std::move(rows);
    resetLabels_.clear();
    while (auto* item = quotaGrid_->takeAt(0)) {
        // Hidden at once: deletion waits for the loop, and a frame painted before it must not
        // show the old row under the new one.
        if (auto* w = item->widget()) w->hide(), w->deleteLater();
        delete item;
    }
    QWidget* parent = quotaGrid_->parentWidget();
    int line = 0;
    auto now = options_.clock();
    for (const auto& row : shownQuotas_) {
        auto* name = text(QString::fromStdString(desktop::providerName(row.provider) + " \u00B7 " + row.accountID),
                          parent, false);
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        quotaGrid_->addWidget(name, line++, 0, 1, 4);
        if (row.windows.empty()) {
            quotaGrid_->addWidget(secondaryText("No quota window reported", parent), line++, 1, 1, 3);
            continue;
        }
        for (const auto& window : row.windows) {
            auto* windowName = text(QString::fromStdString(desktop::quotaWindowName(window)), parent, false);
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(static_cast<int>(std::clamp(std::lround(window.usedPercentage), 0L, 100L)));
            bar->setFormat(usedText(window.usedPercentage));
            bar->setTextVisible(true);
            bar->setAccessibleName(windowName->text() + " quota");
            bar->setMinimumWidth(160);
            auto* reset = secondaryText(QString::fromStdString(desktop::resetText(window.resetsAt, now)), parent);
            reset->setWordWrap(false);
            resetLabels_.emplace_back(reset, window.resetsAt);
            quotaGrid_->addWidget(windowName, line, 1);
            quotaGrid_->addWidget(bar, line, 2);
            quotaGrid_->addWidget(reset, line, 3);
            ++line;
        }
    }
    quotaGrid_->setColumnMinimumWidth(0, 12);
    noQuotas_->setVisible(shownQuotas_.empty());
}

void CompanionStatusWindow::refreshTimes() {
    auto now = options_.clock();
    for (auto& [label, resetsAt] : resetLabels_) label->setText(QString::fromStdString(desktop::resetText(resetsAt, now)));
    tasks_.refreshTimes();
}

void CompanionStatusWindow::showAccountRows() {
    while (auto* item = accountRows_->takeAt(0)) {
        // Hidden at once: deletion waits for the loop, and a frame painted before it must not
        // show the old row under the new one.
        if (auto* w = item->widget()) w->hide(), w->deleteLater();
        delete item;
    }
    QWidget* parent = accountRows_->parentWidget();
    auto* codex = runtime_.side<runtime::CodexRuntimeSide>();
    for (const auto& status : runtime_.accountStatuses()) {
        auto* row = new QFrame(parent);
        row->setObjectName(QString::fromStdString("accountRow:" + status.id));
        row->setFrameShape(QFrame::StyledPanel);
        auto* line = new QHBoxLayout(row);
        auto* health = new QLabel(row);
        setHealth(health, status.isHealthy);
        line->addWidget(health, 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        auto* id = text(QString::fromStdString(status.id), row);
        QFont bold = id->font();
        bold.setBold(true);
        id->setFont(bold);
        texts->addWidget(id);
        texts->addWidget(text(QString::fromStdString(status.detail), row));
        if (codex) {
            if (auto diagnostics = codex->diagnostics(status.id))
                texts->addWidget(secondaryText(QString::fromStdString(*diagnostics), row));
        }
        line->addLayout(texts, 1);
        auto* remove = button("Remove", "removeAccount", row);
        remove->setAccessibleDescription(QString::fromStdString(status.id));
        QPalette red = remove->palette();
        red.setColor(QPalette::ButtonText, alertRed(red.color(QPalette::Button)));
        remove->setPalette(red);
        line->addWidget(remove, 0, Qt::AlignTop);
        auto id_ = status.id;
        connect(remove, &QPushButton::clicked, this, [this, id_] {
            if (auto* c = runtime_.side<runtime::CodexRuntimeSide>()) c->removeAccount(id_);
        });
        accountRows_->addWidget(row);
    }
}

void CompanionStatusWindow::showSummaries() {
    codexSummary_->setText(qt(runtime_.codexSummary()));
    setHealth(codexHealth_, runtime_.codexIsHealthy());
    claudeSummary_->setText(qt(runtime_.claudeSummary()));
}

void CompanionStatusWindow::showObserver() {
    observerStatus_->setText(qt(runtime_.claudeDesktopObserverStatus()));
    setButtonText(observerToggle_, runtime_.claudeDesktopObserverEnabled() ? "Stop Observing" : "Start Observing");
}

void CompanionStatusWindow::showPairingState() {
    QPalette p = pairingCaption_->palette();
    switch (pairingState_) {
        case PairingPreparationState::idle:
            setButtonText(pairingButton_, "Generate Pairing Code");
            pairingCaption_->setText(QString::fromUtf8(
                "Generated only on this Mac \u00B7 Valid for 2 minutes \u00B7 Reconnects automatically after pairing"));
            pairingCaption_->setForegroundRole(QPalette::PlaceholderText);
            break;
        case PairingPreparationState::preparing:
            setButtonText(pairingButton_, QString::fromUtf8("Preparing\u2026"));
            pairingCaption_->setText(
                QString::fromUtf8("Creating a one-time invitation and saving this Mac's pairing identity\u2026"));
            pairingCaption_->setForegroundRole(QPalette::PlaceholderText);
            break;
        case PairingPreparationState::failed:
            setButtonText(pairingButton_, "Try Again");
            pairingCaption_->setText("Could not write to the local Keychain; no QR code was generated");
            p.setColor(QPalette::WindowText, alertRed(p.color(QPalette::Window)));
            pairingCaption_->setForegroundRole(QPalette::WindowText);
            break;
    }
    pairingCaption_->setPalette(p);
    pairingCaption_->setAccessibleName(pairingCaption_->text());
    pairingButton_->setEnabled(pairingState_ != PairingPreparationState::preparing);
}

void CompanionStatusWindow::showTransport() {
    transportStatus_->setText(transport_.status());
    launchAtLogin_->setChecked(transport_.launchesAtLogin());
}

void CompanionStatusWindow::generatePairingInvitation() {
    if (pairingState_ == PairingPreparationState::preparing) return;
    pairingState_ = PairingPreparationState::preparing;
    showPairingState();
    QPointer<CompanionStatusWindow> self(this);
    transport_.generatePairingInvitation([self](const transport::CompanionTransportController::PairingResult& result) {
        if (!self) return;
        // Another invitation already being prepared (asked for from the command line) is no
        // failure of this one: the button comes back as it was.
        bool failed = !result && result.error() != transport::PairingFailure::alreadyPreparing;
        self->pairingState_ = failed ? PairingPreparationState::failed : PairingPreparationState::idle;
        self->showPairingState();
        if (result) self->presentSheet(*result);
    });
}

void CompanionStatusWindow::presentSheet(const security::PairingInvitation& invitation) {
    // A newer invitation replaces the one on screen (its key is no longer the active one).
    if (sheet_) sheet_->reject();
    if (!isVisible()) present();
    sheet_ = new PairingInvitationSheet(invitation, options_.clock, this);
    sheet_->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet_, &QDialog::finished, sheet_, &QWidget::close);
    sheet_->open();
    emit pairingSheetShown(sheet_);
}

void CompanionStatusWindow::present() {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
}

void CompanionStatusWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The desktop switched between light and dark: the alert colours follow. Queued, because
    // this window hears of the change before its children take the new palette.
    if (event->type() == QEvent::PaletteChange && accountRows_ && pairingCaption_) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                showAccountRows();
                showPairingState();
            },
            Qt::QueuedConnection);
    }
}

void CompanionStatusWindow::closeEvent(QCloseEvent* event) {
    if (closesToTray_) {
        hide();
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

}  // namespace vigilorb::app
