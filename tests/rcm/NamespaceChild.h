#pragma once

// Runs a check in a forked child inside new network, UTS and mount namespaces (and a user namespace
// when the test does not run as root), so that addresses, routes and the host name of the real
// machine are never touched.

#include <functional>
#include <string>

// What the child's checks found: failures, one per line.
class CChildChecks
{
public:
    void Expect(bool condition, const std::string &what);
    const std::string &Failures() const { return m_failures; }

private:
    std::string m_failures;
};

struct stNamespaceResult
{
    bool skipped = false; // the system does not let this process make namespaces
    std::string reason;   // why it was skipped
    std::string failures; // empty when every check passed
};

stNamespaceResult RunInNamespaces(const std::function<void(CChildChecks &)> &body);

// Makes a veth pair named first/second inside the current namespace and brings both up: 0 or a
// negative errno.
int CreateVethPair(const std::string &first, const std::string &second);
