// vsc-ui-tests: the views rendered offscreen. Arguments that name test
// functions run those alone, whichever class holds them; options go to QTest.
#include <QApplication>
#include <QMetaMethod>
#include <QTest>
#include <cstdio>

#include "support/ui_test_suites.h"

namespace {

bool hasFunction(const QObject& suite, const QByteArray& name) {
    const QMetaObject* meta = suite.metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).name() == name) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Widgets render without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList options, functions;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        (arg.startsWith('-') ? options : functions) << arg;
    }
    int failures = 0, matched = 0;
    for (const auto& make : vsc::test::uiTestSuites()) {
        std::unique_ptr<QObject> suite = make();
        QStringList mine;
        for (const QString& f : functions)
            if (hasFunction(*suite, f.toUtf8())) mine << f;
        if (!functions.isEmpty() && mine.isEmpty()) continue;
        matched += static_cast<int>(mine.size());
        failures += QTest::qExec(suite.get(), QStringList{QString::fromLocal8Bit(argv[0])} +
                                                  options + mine);
    }
    if (matched != functions.size()) {
        std::fprintf(stderr, "vsc-ui-tests: no such test function among the arguments\n");
        return 1;
    }
    return failures;
}
