// The paste keys with an empty clipboard, on a real X server, in every
// editable text field of the main window and of each dialog it opens: the
// application's one guard keeps Qt's text edits from reading data that is
// not there, and a clipboard with text still pastes everywhere.
#include "commands/quickcommanddialogs.h"
#include "connections/sshconnection.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "dialogs/globaloptionsdialog.h"
#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "dialogs/sshcredentialsdialog.h"
#include "mainwindow/mainwindow.h"
#include "sftp/widgets/sftpdialog.h"
#include "transfer/tftp/tftpserverdialog.h"
#include "ui/groupdialogs.h"
#include "ui/pasteguard.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTest>
#include <QTextEdit>

#include <functional>
#include <memory>

namespace {

// What a field shows, whatever its kind.
QString fieldText(QWidget *w)
{
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *e = qobject_cast<QPlainTextEdit *>(w))
        return e->toPlainText();
    if (auto *e = qobject_cast<QTextEdit *>(w))
        return e->toPlainText();
    if (auto *e = qobject_cast<QAbstractSpinBox *>(w))
        return e->text();
    if (auto *e = qobject_cast<QComboBox *>(w))
        return e->currentText();
    return QString();
}

bool editable(QWidget *w)
{
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return !e->isReadOnly();
    if (auto *e = qobject_cast<QPlainTextEdit *>(w))
        return !e->isReadOnly();
    if (auto *e = qobject_cast<QTextEdit *>(w))
        return !e->isReadOnly();
    if (auto *e = qobject_cast<QAbstractSpinBox *>(w))
        return !e->isReadOnly();
    if (auto *e = qobject_cast<QComboBox *>(w))
        return e->isEditable();
    return false;
}

// Every editable text field inside a window, by kind.
QList<QWidget *> textFields(QWidget *window)
{
    QList<QWidget *> fields;
    for (QWidget *w : window->findChildren<QWidget *>())
        if (editable(w))
            fields << w;
    return fields;
}

const QList<QKeyCombination> kPasteKeys = {Qt::ControlModifier | Qt::Key_V, Qt::ShiftModifier | Qt::Key_Insert};

void emptyClipboard()
{
    QApplication::clipboard()->clear();
    QTRY_VERIFY(!QApplication::clipboard()->mimeData() || QApplication::clipboard()->mimeData()->formats().isEmpty());
}

// Presses each paste key in each field of the window: nothing may change.
// Returns the number of fields pressed in.
int pasteIntoEach(QWidget *window)
{
    window->show();
    QApplication::setActiveWindow(window);
    int pressed = 0;
    for (QWidget *field : textFields(window)) {
        if (!field->isVisibleTo(window))
            continue;
        field->setFocus();
        const QString before = fieldText(field);
        for (const QKeyCombination key : kPasteKeys)
            QTest::keyClick(field, key.key(), key.keyboardModifiers());
        if (fieldText(field) != before)
            qWarning() << "changed by an empty paste:" << field << before << fieldText(field);
        ++pressed;
    }
    return pressed;
}

} // namespace

class TestEmptyPaste : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("HALVORSTEAD_DATA_DIR", QFile::encodeName(QDir::homePath() + QStringLiteral("/data")));
        LanguageManager::setLanguage(QStringLiteral("en"));
        EmptyPasteGuard::install(*qApp);
        EmptyPasteGuard::install(*qApp); // a second call adds no second filter
        QCOMPARE(qApp->findChildren<EmptyPasteGuard *>().size(), 1);
        QVERIFY2(QGuiApplication::platformName() == u"xcb", "needs the xcb platform: the crash is in its clipboard path");
    }

    // Each window of the application, as the user opens it; for the wizard
    // and the paged dialogs every step and page in turn.
    void everyField_data()
    {
        QTest::addColumn<std::function<QWidget *()>>("open");
        QTest::addColumn<std::function<int(QWidget *)>>("press");
        const std::function<int(QWidget *)> whole = pasteIntoEach;
        const auto paged = [](QWidget *w) {
            auto *d = static_cast<BaseSettingsDialog *>(w);
            int n = 0;
            for (int i = 0; i < d->pageCount(); ++i) {
                d->showPage(i);
                n += pasteIntoEach(d);
            }
            return n;
        };
        const auto sessionOf = [](const char *type) {
            SessionStore &store = SessionStore::instance();
            const QString id = store.addSession(QStringLiteral("s-") + QLatin1String(type), QLatin1String(type), {},
                                                QStringLiteral("127.0.0.1"), QStringLiteral("22"), SerialParams());
            return *store.findSession(id);
        };
        QTest::newRow("main window (command window, tree filter, quick commands)")
            << std::function<QWidget *()>([] { return new MainWindow; }) << whole;
        QTest::newRow("new group") << std::function<QWidget *()>([] { return new NewGroupDialog; }) << whole;
        QTest::newRow("rename group")
            << std::function<QWidget *()>([] { return new RenameGroupDialog(QStringLiteral("g")); }) << whole;
        QTest::newRow("add button group") << std::function<QWidget *()>([] { return new AddButtonGroupDialog; }) << whole;
        QTest::newRow("edit quick command")
            << std::function<QWidget *()>([] {
                   return new AddCommandDialog({QStringLiteral("g")}, QStringLiteral("g"), LanguageManager::tr(QStringLiteral("修改")),
                                               QStringLiteral("t"), QStringLiteral("ls\n"));
               })
            << whole;
        QTest::newRow("SSH credentials")
            << std::function<QWidget *()>([] { return new SshCredentialsDialog(QStringLiteral("127.0.0.1")); }) << whole;
        QTest::newRow("TFTP server") << std::function<QWidget *()>([] { return new TftpServerDialog; }) << whole;
        QTest::newRow("global options") << std::function<QWidget *()>([] { return new GlobalOptionsDialog; })
                                        << std::function<int(QWidget *)>(paged);
        for (const char *type : {"ssh", "telnet", "serial", "local"}) {
            const SessionInfo s = sessionOf(type);
            QTest::newRow(qPrintable(QStringLiteral("session options, %1").arg(QLatin1String(type))))
                << std::function<QWidget *()>([s] { return new SessionOptionsDialog(s); })
                << std::function<int(QWidget *)>(paged);
        }
        QTest::newRow("new session wizard, each protocol")
            << std::function<QWidget *()>([] { return new NewSessionWizard; })
            << std::function<int(QWidget *)>([](QWidget *w) {
                   auto *wizard = static_cast<NewSessionWizard *>(w);
                   int n = pasteIntoEach(wizard);
                   for (const char *proto : {"ssh", "telnet", "serial", "raw", "local", "rlogin"}) {
                       wizard->selectProtocol(QLatin1String(proto));
                       wizard->nextStep();
                       n += pasteIntoEach(wizard);
                       wizard->prevStep();
                   }
                   return n;
               });
        QTest::newRow("SFTP (no server on the port)")
            << std::function<QWidget *()>([] {
                   SshConnectParams p;
                   p.host = QStringLiteral("127.0.0.1");
                   p.port = 1;
                   return new SftpDialog(p);
               })
            << whole;
    }
    void everyField()
    {
        QFETCH(std::function<QWidget *()>, open);
        QFETCH(std::function<int(QWidget *)>, press);
        emptyClipboard();
        QPointer<QWidget> window = open();
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        const std::unique_ptr<QWidget> owner(window.data());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // A crash ends the test here; a field that changed is reported.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("^changed by an empty paste")));
        QVERIFY2(press(window) > 0, "no editable field was reached");
    }

    // The guard only steps in when there is nothing to paste: with text on
    // the clipboard each kind of field takes it.
    void textStillPastes()
    {
        QComboBox combo;
        combo.setEditable(true);
        QSpinBox spin;
        spin.setRange(0, 999999);
        QLineEdit line;
        QPlainTextEdit plain;
        QTextEdit rich;
        for (QWidget *field : std::initializer_list<QWidget *>{&combo, &spin, &line, &plain, &rich}) {
            field->show();
            QApplication::setActiveWindow(field);
            for (const QKeyCombination key : kPasteKeys) {
                QApplication::clipboard()->setText(QStringLiteral("42"));
                QTRY_VERIFY(QApplication::clipboard()->mimeData()->hasText());
                const QString before = fieldText(field);
                QTest::keyClick(field, key.key(), key.keyboardModifiers());
                QVERIFY2(fieldText(field).size() > before.size(), field->metaObject()->className());
            }
        }
    }
};

QTEST_MAIN(TestEmptyPaste)
#include "tst_emptypaste.moc"
