// The paste keys with an empty clipboard (and a middle click with an empty
// selection), on a real X server, in every editable text field of the main
// window and of each dialog it opens (Qt's text edits crash there without the
// application's guard); text on the clipboard still pastes.
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

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTest>

#include <functional>
#include <memory>

namespace {

// What an editable text field shows; null for anything else.
QString fieldText(QWidget *w)
{
    const bool editable = qobject_cast<QComboBox *>(w) ? w->property("editable").toBool()
                                                       : w->property("readOnly").isValid() && !w->property("readOnly").toBool();
    for (const char *name : {"plainText", "currentText", "text"})
        if (const QVariant v = w->property(name); editable && v.isValid())
            return v.toString() + u'.'; // never null
    return QString();
}

const QList<QKeyCombination> kPasteKeys = {Qt::ControlModifier | Qt::Key_V, Qt::ShiftModifier | Qt::Key_Insert};

// Presses the paste keys in each field in sight; returns how many fields.
int pasteIntoEach(QWidget *window)
{
    int pressed = 0;
    for (QWidget *field : window->findChildren<QWidget *>()) {
        const QString before = fieldText(field);
        if (before.isNull() || !field->isVisibleTo(window))
            continue;
        field->setFocus();
        for (const QKeyCombination key : kPasteKeys)
            QTest::keyClick(field, key.key(), key.keyboardModifiers());
        // A middle click pastes the X11 selection into a text edit.
        if (auto *edit = qobject_cast<QAbstractScrollArea *>(field))
            QTest::mouseClick(edit->viewport(), Qt::MiddleButton);
        if (fieldText(field) != before)
            qWarning() << "changed by an empty paste:" << field;
        ++pressed;
    }
    return pressed;
}

using Open = std::function<QWidget *()>;
using Press = std::function<int(QWidget *)>;

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
        EmptyPasteGuard::install(*qApp); // no second filter
        QCOMPARE(qApp->findChildren<EmptyPasteGuard *>().size(), 1);
        QVERIFY2(QGuiApplication::platformName() == u"xcb", "the crash is in the xcb clipboard's path");
    }

    // Each window as the user opens it; the paged dialogs page by page, the
    // wizard with the parameters of each protocol.
    void everyField_data()
    {
        QTest::addColumn<Open>("open");
        QTest::addColumn<Press>("press");
        const Press paged = [](QWidget *w) {
            auto *d = static_cast<BaseSettingsDialog *>(w);
            int n = 0;
            for (int i = 0; i < d->pageCount(); ++i) {
                d->showPage(i);
                n += pasteIntoEach(d);
            }
            return n;
        };
        QTest::newRow("main window") << Open([] { return new MainWindow; }) << Press(pasteIntoEach);
        QTest::newRow("new group") << Open([] { return new NewGroupDialog; }) << Press(pasteIntoEach);
        QTest::newRow("rename group") << Open([] { return new RenameGroupDialog(QStringLiteral("g")); }) << Press(pasteIntoEach);
        QTest::newRow("button group") << Open([] { return new AddButtonGroupDialog; }) << Press(pasteIntoEach);
        QTest::newRow("quick command") << Open([] {
            return new AddCommandDialog({QStringLiteral("g")}, QStringLiteral("g"), LanguageManager::tr(QStringLiteral("修改")),
                                        QStringLiteral("t"), QStringLiteral("ls\n"));
        }) << Press(pasteIntoEach);
        QTest::newRow("SSH credentials") << Open([] { return new SshCredentialsDialog(QStringLiteral("h")); }) << Press(pasteIntoEach);
        QTest::newRow("TFTP server") << Open([] { return new TftpServerDialog; }) << Press(pasteIntoEach);
        QTest::newRow("SFTP, no server") << Open([] {
            SshConnectParams p;
            p.host = QStringLiteral("127.0.0.1");
            p.port = 1;
            return new SftpDialog(p);
        }) << Press(pasteIntoEach);
        QTest::newRow("global options") << Open([] { return new GlobalOptionsDialog; }) << paged;
        for (const char *type : {"ssh", "telnet", "serial", "local"}) {
            const QString id = SessionStore::instance().addSession(QLatin1String(type), QLatin1String(type), {},
                                                                   QStringLiteral("127.0.0.1"), QStringLiteral("22"), {});
            const SessionInfo s = *SessionStore::instance().findSession(id);
            QTest::newRow(type) << Open([s] { return new SessionOptionsDialog(s); }) << paged;
        }
        QTest::newRow("new session wizard") << Open([] { return new NewSessionWizard; }) << Press([](QWidget *w) {
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
    }
    void everyField()
    {
        QFETCH(Open, open);
        QFETCH(Press, press);
        for (const QClipboard::Mode mode : {QClipboard::Clipboard, QClipboard::Selection}) {
            QApplication::clipboard()->clear(mode);
            QTRY_VERIFY(!QApplication::clipboard()->mimeData(mode) || QApplication::clipboard()->mimeData(mode)->formats().isEmpty());
        }
        const std::unique_ptr<QWidget> window(open());
        window->setAttribute(Qt::WA_DeleteOnClose, false);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QTest::failOnWarning(QRegularExpression(QStringLiteral("^changed by an empty paste")));
        QVERIFY2(press(window.get()) > 0, "no editable field was reached");
    }

    // With text on the clipboard the guard stands aside.
    void textStillPastes()
    {
        QPlainTextEdit edit;
        edit.show();
        for (const QKeyCombination key : kPasteKeys) {
            QApplication::clipboard()->setText(QStringLiteral("42"));
            QTRY_VERIFY(QApplication::clipboard()->mimeData()->hasText());
            QTest::keyClick(&edit, key.key(), key.keyboardModifiers());
        }
        QCOMPARE(edit.toPlainText(), QStringLiteral("4242"));
    }
};

QTEST_MAIN(TestEmptyPaste)
#include "tst_emptypaste.moc"
