#pragma once

// The test server's fault rules, matched against each request's normalised
// path. Thread safety: every member takes m_mutex; take() counts a use under
// the same lock, so two concurrent requests never share a rule's last use.

#include "TestServerTypes.h"

#include <mutex>
#include <optional>
#include <vector>

namespace Nuvaro {
namespace Sync {
namespace TestServer {

class TestServerFaults {
public:
    int add(const TestFault& fault);
    void remove(int id);
    void clear();
    // The first rule matching the path that is past its `skip` count and has
    // uses left; counts the request against every matching rule it passes.
    std::optional<TestFault> take(const std::string& path);

    // True for faults that answer instead of the endpoint.
    static bool replacesReply(const TestFault& fault);

private:
    struct Rule {
        int id;
        TestFault fault;
        int seen = 0;
        int applied = 0;
    };
    static bool matches(const TestFault& fault, const std::string& path);

    std::mutex m_mutex; // guards everything below
    std::vector<Rule> m_rules;
    int m_nextId = 1;
};

} // namespace TestServer
} // namespace Sync
} // namespace Nuvaro
