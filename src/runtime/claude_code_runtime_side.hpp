#pragma once
// The Claude Code side of the runtime: detects the Claude CLI at start-up, drains the Claude
// inboxes (one file per status-line or hook run of Claude Code) as soon as a file lands there
// and every period besides (the safety net when a change goes unseen), and offers the window's
// connector action. It needs no set-up and starts no process, so every controller
// runs it (see ProviderRuntimeOptions::standingSides).

#include <QTimer>

#include <memory>

#include <string_view>

#include "runtime/folder_watch.hpp"
#include "runtime/provider_runtime_controller.hpp"

namespace vigilorb::runtime {

class ClaudeCodeRuntimeSide final : public ProviderRuntimeSide {
public:
    explicit ClaudeCodeRuntimeSide(ProviderRuntimeController& controller);
    ~ClaudeCodeRuntimeSide() override;

    // Says whether the CLI was found, then starts the inbox task; its first pass follows the
    // start-up task at once.
    void startUp() override;

    // The connector action of the window, for the account ID as typed.
    void prepareConnector(std::string_view rawAccountID);
    // One pass over the Claude inboxes.
    void drainInbox();

private:
    void runInboxPass();

    ProviderRuntimeController& controller_;
    // A pass, then a sleep of one period, until the side goes away.
    QTimer inboxTask_;
    // The inbox folders (and the account folders that hold them); a file landing starts a
    // pass at once.
    std::unique_ptr<FolderWatch> inboxWatch_;
};

}  // namespace vigilorb::runtime
