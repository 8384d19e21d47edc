// Codex adapters: app-server client, message parser, rollouts, session index, thread database.
namespace vigilorb::codex {}
