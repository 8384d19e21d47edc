#pragma once
// The companion's main window: a scrolling column of titled group boxes showing what the
// provider runtime and the transport side publish, and the few actions a user can take. It
// holds no rules of its own: every text comes from their published state, every button calls
// one of their operations.
#include <QMainWindow>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

#include "app/pairing_sheet.hpp"
#include "app/task_list_model.hpp"
#include "app/transport_panel.hpp"
#include "model/preferences.hpp"
#include "runtime/provider_runtime_controller.hpp"
#include "security/identity.hpp"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QTableView;
class QVBoxLayout;

namespace vigilorb::app {

inline constexpr std::string_view notifyApprovalsKey = "notifications.pendingApprovals.v1";

enum class PairingPreparationState { idle, preparing, failed };

class CompanionStatusWindow : public QMainWindow {
    Q_OBJECT

public:
    struct Options {
        std::string version;
        std::function<Date()> clock = &Date::now;
        Preferences* preferences = nullptr;  // not owned; for the notifications toggle
        // Period of the live "resets in …" and "… ago" texts.
        std::chrono::milliseconds timeRefreshPeriod{30000};
    };

    CompanionStatusWindow(runtime::ProviderRuntimeController& runtime, TransportPanel& transport,
                          const security::CompanionIdentity& identity, Options options, QWidget* parent = nullptr);

    PairingPreparationState pairingState() const { return pairingState_; }
    // The sheet while it is shown.
    PairingInvitationSheet* pairingSheet() const { return sheet_; }
    TaskListModel& taskModel() { return tasks_; }

    // What "Generate Pairing Code" does; also reachable from the tray.
    void generatePairingInvitation();
    // With a tray to come back from, closing the window only hides it.
    void setClosesToTray(bool closesToTray) { closesToTray_ = closesToTray; }
    // Shows, raises and activates the window (a second start, the tray).
    void present();

signals:
    void pairingSheetShown(vigilorb::app::PairingInvitationSheet* sheet);
    void notifyApprovalsChanged(bool enabled);

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildDataLayer();
    QWidget* buildQuotasAndTasks();
    QWidget* buildAccounts();
    QWidget* buildCowork();
    QWidget* buildPairing();
    QWidget* buildContinuousSync();
    QWidget* buildBoundaries();

    void showSnapshot();
    void showQuotas();
    void refreshTimes();
    void showAccountRows();
    void showSummaries();
    void showObserver();
    void showPairingState();
    void showTransport();
    void presentSheet(const security::PairingInvitation& invitation);

    runtime::ProviderRuntimeController& runtime_;
    TransportPanel& transport_;
    security::CompanionIdentity identity_;
    Options options_;

    PairingPreparationState pairingState_ = PairingPreparationState::idle;
    QPointer<PairingInvitationSheet> sheet_;
    bool closesToTray_ = false;

    QScrollArea* scroll_ = nullptr;
    QLabel* codexSummary_ = nullptr;
    QLabel* codexHealth_ = nullptr;
    QLabel* claudeSummary_ = nullptr;
    QLabel* accountCount_ = nullptr;
    QLabel* taskCount_ = nullptr;
    QLabel* approvalCount_ = nullptr;
    QGridLayout* quotaGrid_ = nullptr;
    QLabel* noQuotas_ = nullptr;
    std::vector<desktop::QuotaRow> shownQuotas_;
    std::vector<std::pair<QLabel*, std::optional<Date>>> resetLabels_;
    TaskListModel tasks_;
    QTableView* taskView_ = nullptr;
    QLabel* noTasks_ = nullptr;
    QLineEdit* accountID_ = nullptr;
    QCheckBox* isolated_ = nullptr;
    QVBoxLayout* accountRows_ = nullptr;
    QLabel* observerStatus_ = nullptr;
    QLineEdit* claudeAccountID_ = nullptr;
    QPushButton* observerToggle_ = nullptr;
    QPushButton* pairingButton_ = nullptr;
    QLabel* pairingCaption_ = nullptr;
    QLabel* transportStatus_ = nullptr;
    QCheckBox* launchAtLogin_ = nullptr;
    QLineEdit* relayAddress_ = nullptr;
    QTimer timeRefresh_;
};

}  // namespace vigilorb::app
