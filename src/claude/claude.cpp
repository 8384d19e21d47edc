// Claude adapters: status line, hooks, Claude Desktop usage and Cowork sessions, connector.
namespace vigilorb::claude {}
