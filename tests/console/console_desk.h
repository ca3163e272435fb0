#pragma once

#include "core/server.h"
#include "test_server.h"
#include "test_support.h"
#include "ui/main_window.h"
#include "ui/router_view.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <functional>
#include <memory>

namespace testsupport {

// The console over a started server: main window, engine, panels off. The
// window is there before the start, as in the program.
class Desk {
public:
    // prepare puts files in the application folder before the start.
    explicit Desk(const QByteArray &ini = "[Network_Settings]\r\nNetwork_Card_1_IP_Address=\r\n",
                  const std::function<void(const QString &)> &prepare = {})
    {
        [[maybe_unused]] const bool written = writeFile(dir.filePath(QStringLiteral("WREN.INI")), ini);
        if (prepare)
            prepare(dir.path());
        engine = std::make_unique<TestServer>(dir.path());
        window = std::make_unique<marlin::MDIMain>(*engine);
        window->show();
        engine->Start();
    }
    testsupport::TestServer &server() { return *engine; }
    QString path() const { return dir.path(); }
    marlin::frmRtrView *view()
    {
        marlin::frmRtrView *v = window->openRouterView();
        v->RefreshRouterView();
        return v;
    }
    // Logs a user in through the login window, as the operator does (the
    // built-in Administrator unless told otherwise); true once it closed.
    bool logIn(const QString &name = QStringLiteral("admin"), const QString &password = QStringLiteral("marlin"))
    {
        marlin::frmLogin *login = window->openLogin();
        login->txtName->setText(name);
        login->txtPass->setText(password);
        QTest::keyClick(login->txtPass, Qt::Key_Return);
        return QTest::qWaitFor([this] { return !window->loginDialog(); });
    }
    // The visible message box whose text holds part, if any.
    QMessageBox *box(const QString &part)
    {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *b = qobject_cast<QMessageBox *>(w);
            if (b && b->isVisible() && b->text().contains(part))
                return b;
        }
        return nullptr;
    }
    QTemporaryDir dir;
    std::unique_ptr<TestServer> engine;
    std::unique_ptr<marlin::MDIMain> window;
};

} // namespace testsupport
