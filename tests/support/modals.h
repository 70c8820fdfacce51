#pragma once

// Answers the modal dialogs a window test expects; the guard of every widget test
// (modalguard.cpp) closes any other and fails the test with its text.

#include "dialogs/sshcredentialsdialog.h"
#include "tests/support/testfiles.h"

#include <QApplication>
#include <QLineEdit>
#include <QTimer>

#include <functional>

// While it lives: each SSH credentials prompt gets the fixture sshd's account (change user or
// password to give another), any other modal dialog goes to `other` when set.
struct ModalAnswerer : QTimer, FixtureAccount {
    int prompts = 0;
    std::function<void(QWidget *)> other;
    explicit ModalAnswerer(int intervalMs = 10)
    {
        connect(this, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            auto *d = qobject_cast<SshCredentialsDialog *>(modal);
            if (!modal || !modal->isVisible() || (!d && !other))
                return;
            if (!d)
                return other(modal);
            ++prompts;
            d->findChild<QLineEdit *>("userEdit")->setText(user);
            d->findChild<QLineEdit *>("passwordEdit")->setText(password);
            d->accept();
        });
        start(intervalMs);
    }
};
