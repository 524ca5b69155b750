#pragma once

// The QTest classes of the view tests, run by one program: each file adds
// its class with a UiTestSuite at namespace scope.
#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace vsc::test {

using UiSuiteFactory = std::function<std::unique_ptr<QObject>()>;

inline std::vector<UiSuiteFactory>& uiTestSuites() {
    static std::vector<UiSuiteFactory> suites;
    return suites;
}

template <class Suite>
struct UiTestSuite {
    UiTestSuite() {
        uiTestSuites().push_back([] { return std::make_unique<Suite>(); });
    }
};

}  // namespace vsc::test
