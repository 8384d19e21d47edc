// A request to the relay after its HTTP layer: method, path, Authorization and Content-Type
// header values (an empty line: header absent), one per line, then the body. Runs the relay's
// whole Qt-free request path (route, token, body checks, store) on a real SQLite store in a
// scratch folder. A stored body is handed back byte for byte; no request is an internal error.
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "relay/protocol.hpp"
#include "relay/service.hpp"
#include "relay/sqlite_store.hpp"
#include "fuzz_support.hpp"

using namespace vigilorb;
using namespace vigilorb::relay;

namespace {

struct Relay {
    std::filesystem::path folder;
    std::unique_ptr<SQLiteStore> store;
    std::unique_ptr<RelayService> service;

    Relay() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vigilorb-fuzz-relay-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) fuzz::fail("cannot create a scratch folder");
        folder = pattern;
        store = std::make_unique<SQLiteStore>(folder / "data");
        // Rate limits are their own component; here they must not hide the request rules.
        ServiceSettings settings;
        settings.putsPerMinute = settings.putBurst = 1e9;
        settings.authFailuresPerMinute = settings.authFailureBurst = 1e9;
        service = std::make_unique<RelayService>(*store, settings, [] { return fuzz::now; });
    }
    ~Relay() {
        service.reset();
        store.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

std::optional<std::string> header(std::string_view line) {
    return line.empty() ? std::nullopt : std::optional<std::string>(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Relay relay;
    auto rest = fuzz::text(data, size);
    std::string_view fields[4];
    for (auto& field : fields) std::tie(field, rest) = fuzz::splitAt(rest, '\n');

    Request request;
    request.method = fields[0];
    request.path = fields[1];
    request.authorization = header(fields[2]);
    request.contentType = header(fields[3]);
    request.body = rest;
    request.bodyTooLarge = request.body.size() > bodyLimit;
    request.clientAddress = "127.0.0.1";
    auto response = relay.service->handle(request);
    fuzz::require(response.status >= 200 && response.status < 500, "no request makes the relay fail inside");

    if (request.method == "PUT" && response.status == 204) {
        Request get = request;
        get.method = "GET";
        get.body.clear();
        auto stored = relay.service->handle(get);
        fuzz::require(stored.status == 200 && stored.body == request.body, "a stored envelope comes back byte for byte");
    }
    return 0;
}
