// Enter, from the main keys and the keypad, in every text field of each
// dialog: the field's own action runs; the dialog accepts only where it
// declares an accepting default; no other button is pressed.

#include "commands/quickcommanddialogs.h"
#include "core/languagemanager.h"
#include "dialogs/globaloptionsdialog.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/sshcredentialsdialog.h"
#include "sftp/widgets/sftpdialog.h"
#include "transfer/tftp/tftpserverdialog.h"
#include "ui/dialogframe.h"
#include "ui/groupdialogs.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

namespace {

struct Keystroke {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
};
const Keystroke kReturn{Qt::Key_Return, Qt::NoModifier};
const Keystroke kKeypadEnter{Qt::Key_Enter, Qt::KeypadModifier};

// The fields a user types into: line edits (not those inside a spin box
// or a combo, which take the keys through their owner), spin boxes and
// editable combos.
QList<QWidget *> textFields(QDialog *d)
{
    QList<QWidget *> fields;
    for (QWidget *w : d->findChildren<QWidget *>()) {
        QWidget *owner = w->parentWidget();
        const bool inner = qobject_cast<QAbstractSpinBox *>(owner) || qobject_cast<QComboBox *>(owner);
        auto *combo = qobject_cast<QComboBox *>(w);
        if ((qobject_cast<QLineEdit *>(w) && !inner) || qobject_cast<QAbstractSpinBox *>(w) || (combo && combo->isEditable()))
            fields << w;
    }
    return fields;
}

QString statusOf(QDialog *d)
{
    const QList<QLabel *> labels = d->findChildren<QLabel *>();
    return labels.isEmpty() ? QString() : labels.last()->text();
}

} // namespace

class TestEnterKey : public QObject
{
    Q_OBJECT
    // Takes the SFTP dialog's connection and never answers, so that the
    // dialog stays connecting (neither listed nor failed) while keys arrive.
    QTcpServer m_silent;

    std::unique_ptr<QDialog> make(const QString &family)
    {
        std::unique_ptr<QDialog> d;
        if (family == QLatin1String("sftp")) {
            SshConnectParams p;
            p.host = QStringLiteral("127.0.0.1");
            p.port = m_silent.serverPort();
            auto *sftp = new SftpDialog(p);
            sftp->setAttribute(Qt::WA_DeleteOnClose, false);
            // As if "/a/b" had been listed.
            QMetaObject::invokeMethod(sftp, "onListed", Q_ARG(QString, QStringLiteral("/a/b")), Q_ARG(QVariantList, {}));
            d.reset(sftp);
        } else if (family == QLatin1String("session options")) {
            SessionInfo r;
            r.id = QStringLiteral("enter-key");
            r.name = QStringLiteral("n");
            r.type = QStringLiteral("ssh");
            r.host = QStringLiteral("h");
            d.reset(new SessionOptionsDialog(r));
        } else if (family == QLatin1String("global options")) {
            d.reset(new GlobalOptionsDialog);
        } else if (family == QLatin1String("wizard")) {
            d.reset(new NewSessionWizard);
        } else if (family == QLatin1String("tftp")) {
            d.reset(new TftpServerDialog);
        } else if (family == QLatin1String("credentials")) {
            d.reset(new SshCredentialsDialog(QStringLiteral("h")));
        } else if (family == QLatin1String("new group")) {
            d.reset(new NewGroupDialog);
        } else if (family == QLatin1String("rename session")) {
            d.reset(new RenameSessionDialog(QStringLiteral("s")));
        } else if (family == QLatin1String("quick command")) {
            d.reset(new AddCommandDialog({QStringLiteral("g")}, QString(), QStringLiteral("添加"), QString(), QString()));
        } else if (family == QLatin1String("button group")) {
            d.reset(new AddButtonGroupDialog);
        } else if (family == QLatin1String("framed")) {
            // On the frame, OK its default: a field, and a button that adds
            // to it and leaves the dialog open.
            d.reset(new QDialog);
            QVBoxLayout *layout = frameDialog(d.get(), QStringLiteral("framed"), 8).layout;
            auto *field = new QLineEdit(d.get());
            auto *add = new QPushButton(QStringLiteral("+"), d.get());
            connect(add, &QPushButton::clicked, field, [field] { field->insert(QStringLiteral("+")); });
            layout->addWidget(field);
            layout->addWidget(add);
            layout->addWidget(dialogButtons(d.get(), QStringLiteral("确定")));
        }
        if (d)
            d->show();
        return d;
    }

private slots:
    void initTestCase()
    {
        LanguageManager::setLanguage(QStringLiteral("zh"));
        QVERIFY(m_silent.listen(QHostAddress::LocalHost));
    }

    // "stays": open, nothing pressed. "accepts": accepted once, by nothing
    // but its accepting button (or the field's own accept).
    void enterInEachField_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("expect");
        const QList<std::pair<const char *, const char *>> families{
            {"sftp", "stays"},           {"session options", "stays"}, {"global options", "stays"},
            {"wizard", "stays"},         {"tftp", "stays"},            {"credentials", "accepts"},
            {"new group", "accepts"},    {"rename session", "accepts"}, {"quick command", "accepts"},
            {"button group", "accepts"}};
        for (const auto &[family, expect] : families)
            for (const char *key : {"Return", "keypad Enter"})
                QTest::addRow("%s, %s", family, key) << QString::fromLatin1(family) << QString::fromLatin1(expect);
    }
    void enterInEachField()
    {
        QFETCH(QString, family);
        QFETCH(QString, expect);
        const Keystroke stroke = QString::fromLatin1(QTest::currentDataTag()).endsWith("keypad Enter") ? kKeypadEnter : kReturn;
        const int fields = int(textFields(make(family).get()).size());
        QVERIFY2(fields > 0, "no text field: the row proves nothing");
        // A dialog of its own for each field: an accepted one is gone.
        for (int i = 0; i < fields; ++i) {
            std::unique_ptr<QDialog> d = make(family);
            QWidget *field = textFields(d.get()).at(i);
            QStringList pressed;
            for (QPushButton *b : d->findChildren<QPushButton *>())
                connect(b, &QPushButton::clicked, this, [&pressed, b] { pressed << b->text(); });
            QSignalSpy finished(d.get(), &QDialog::finished);
            const QString where = QStringLiteral("%1 #%2 (%3)").arg(family, QString::number(i), field->objectName());
            QTest::keyClick(field, stroke.key, stroke.mods);
            if (expect == QLatin1String("stays")) {
                QVERIFY2(pressed.isEmpty() && finished.isEmpty() && d->isVisible(), qPrintable(where + ": " + pressed.join('|')));
                continue;
            }
            QVERIFY2(finished.size() == 1 && d->result() == QDialog::Accepted, qPrintable(where));
            const QString ok = d->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->text();
            QVERIFY2(pressed.isEmpty() || pressed == QStringList{ok}, qPrintable(where + ": " + pressed.join('|')));
        }
    }

    // Enter on a focused button presses that button, never the default.
    void focusedButtonTakesEnter_data()
    {
        QTest::addColumn<QString>("family");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("expect");
        QTest::newRow("sftp refresh") << "sftp" << "⟳ 刷新" << "status 打开 /a/b ...";
        QTest::newRow("credentials cancel") << "credentials" << "取消" << "rejected";
        QTest::newRow("wizard next") << "wizard" << "下一步" << "step 2";
        QTest::newRow("a button that leaves its dialog open, OK the default") << "framed" << "+" << "field +, open";
    }
    void focusedButtonTakesEnter()
    {
        QFETCH(QString, family);
        QFETCH(QString, button);
        QFETCH(QString, expect);
        for (const Keystroke &stroke : {kReturn, kKeypadEnter}) {
            std::unique_ptr<QDialog> d = make(family);
            QPushButton *target = nullptr;
            for (QPushButton *b : d->findChildren<QPushButton *>())
                if (b->text() == button)
                    target = b;
            QVERIFY(target);
            target->setFocus();
            QTest::keyClick(target, stroke.key, stroke.mods);
            QString got;
            if (expect.startsWith(QLatin1String("status ")))
                got = QStringLiteral("status ") + statusOf(d.get());
            else if (expect.startsWith(QLatin1String("field ")))
                got = QStringLiteral("field %1, %2").arg(d->findChild<QLineEdit *>()->text(), d->isVisible() ? "open" : "closed");
            else if (expect.startsWith(QLatin1String("step ")))
                got = QStringLiteral("step %1").arg(static_cast<NewSessionWizard *>(d.get())->currentStep());
            else
                got = d->isVisible() ? QStringLiteral("open") : d->result() == QDialog::Accepted ? QStringLiteral("accepted") : QStringLiteral("rejected");
            QCOMPARE(got, expect);
        }
    }
};

QTEST_MAIN(TestEnterKey)
#include "tst_enterkey.moc"
