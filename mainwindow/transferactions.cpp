#include "mainwindow/transferactions.h"

#include "connections/connection.h"
#include "mainwindow/opensession.h"
#include "core/languagemanager.h"
#include "core/sessionstore.h"
#include "mainwindow/sessionhub.h"
#include "mainwindow/statuslines.h"
#include "transfer/asciisender.h"
#include "transfer/kermittransfer.h"
#include "transfer/xmodemtransfer.h"
#include "transfer/zmodemtransfer.h"

#include <QFileDialog>

FileDialogs FileDialogs::platform()
{
    FileDialogs d;
    d.openFiles = [](QWidget *parent, const QString &title) {
        return QFileDialog::getOpenFileNames(parent, title, QString(), QString());
    };
    d.openFile = [](QWidget *parent, const QString &title) {
        return QFileDialog::getOpenFileName(parent, title, QString(), QString());
    };
    d.existingDirectory = [](QWidget *parent, const QString &title) {
        return QFileDialog::getExistingDirectory(parent, title, QString());
    };
    d.saveFile = [](QWidget *parent, const QString &title, const QString &proposed) {
        return QFileDialog::getSaveFileName(parent, title, proposed, QString());
    };
    return d;
}

TransferActions::TransferActions(SessionHub *hub, FileDialogs dialogs)
    : QObject(hub), m_hub(hub), m_dialogs(std::move(dialogs))
{
    // A progress line per percent, each drawn on its own, costs the window
    // more than the transfer itself and holds back the peer's next bytes.
    m_statusPace.setSingleShot(true);
    m_statusPace.setInterval(300);
    connect(&m_statusPace, &QTimer::timeout, this, [this] {
        if (m_pendingStatus.isEmpty())
            return;
        flushStatus();
        m_statusPace.start();
    });
}

void TransferActions::showStatus(const QString &id, const QString &html, bool running)
{
    if (running && m_statusPace.isActive()) {
        m_pendingStatus.append({id, html});
        return;
    }
    flushStatus(); // the last line of a transfer comes after all the others
    m_hub->showLine(id, html);
    if (running)
        m_statusPace.start();
}

void TransferActions::flushStatus()
{
    const auto pending = std::exchange(m_pendingStatus, {});
    for (const auto &[id, html] : pending)
        m_hub->showLine(id, html);
}

OpenSession *TransferActions::openSession(const QString &id, const QString &notConnected)
{
    OpenSession *session = m_hub->session(id);
    if (session && session->isOpen())
        return session;
    m_hub->showLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ") + notConnected));
    return nullptr;
}

TransferSendFn TransferActions::sendTo(OpenSession *session, bool logged)
{
    // A session closed meanwhile makes the write a no-op; the protocol's own
    // time-outs end the transfer.
    return [guard = QPointer<OpenSession>(session), logged](const QByteArray &bytes) {
        if (!guard)
            return;
        if (logged)
            guard->send(bytes);
        else
            guard->sendUnlogged(bytes);
    };
}

bool TransferActions::refuseWhileRunning(const QString &id)
{
    if (!m_hub->runningTransfer())
        return false;
    m_hub->showLine(id, statusLine(StatusColor::error, QStringLiteral("⚠ ")
                                       + LanguageManager::tr(QStringLiteral("已有传输进行中（Esc/Ctrl+C 可取消）"))));
    return true;
}

void TransferActions::startTransfer(int protocol, bool send)
{
    const QString id = SessionStore::instance().currentSessionId();
    OpenSession *session = openSession(id, LanguageManager::tr(QStringLiteral("当前会话未连接，无法传输")));
    if (!session || refuseWhileRunning(id))
        return;

    QWidget *parent = m_hub->window();
    QStringList files;
    QString target;
    switch (protocol) {
    case Kermit:
    case Zmodem: {
        const bool kermit = protocol == Kermit;
        if (send)
            files = m_dialogs.openFiles(parent, kermit ? LanguageManager::tr(QStringLiteral("Kermit 发送（可多选）"))
                                                       : LanguageManager::tr(QStringLiteral("Zmodem 发送（可多选）")));
        else
            target = m_dialogs.existingDirectory(parent, kermit ? LanguageManager::tr(QStringLiteral("Kermit 接收（选择保存目录）"))
                                                                : LanguageManager::tr(QStringLiteral("Zmodem 接收（选择保存目录）")));
        break;
    }
    case Xmodem:
    case Ymodem:
        if (send) {
            const QString name = protocol == Xmodem ? QStringLiteral("Xmodem") : QStringLiteral("Ymodem");
            const QString file = m_dialogs.openFile(parent, LanguageManager::tr(QStringLiteral("%1 发送（选择文件）")).arg(name));
            if (!file.isEmpty())
                files << file;
        } else if (protocol == Xmodem) {
            target = m_dialogs.saveFile(parent, LanguageManager::tr(QStringLiteral("Xmodem 接收（保存为）")),
                                        QStringLiteral("xmodem_recv.bin"));
        } else {
            target = m_dialogs.existingDirectory(parent, LanguageManager::tr(QStringLiteral("Ymodem 接收（选择保存目录）")));
        }
        break;
    default:
        return;
    }
    if (send ? files.isEmpty() : target.isEmpty())
        return;

    InbandTransfer *transfer = ensure(protocol);
    const TransferSendFn sendFn = sendTo(session, false);
    // Also gives the transfer the connection's backlog and the means to drop
    // what of it is still queued when the run ends.
    session->handOver(transfer, true);
    const int variant = protocol == Ymodem ? XmodemTransfer::Ymodem : XmodemTransfer::Xmodem;
    if (send) {
        transfer->startSend(sendFn, id, files, variant);
        // ZMODEM and Kermit ask their receiver themselves.
        if (protocol == Xmodem || protocol == Ymodem)
            session->offerLastWords();
    } else
        transfer->startReceive(sendFn, id, target, variant);
}

void TransferActions::sendAsciiFile()
{
    const QString id = SessionStore::instance().currentSessionId();
    OpenSession *session = openSession(id, LanguageManager::tr(QStringLiteral("当前会话未连接，无法发送")));
    if (!session || refuseWhileRunning(id))
        return;
    const QString path = m_dialogs.openFile(m_hub->window(), LanguageManager::tr(QStringLiteral("ASCII 发送（选文本文件）")));
    if (path.isEmpty())
        return;
    if (!m_ascii) {
        m_ascii = adopt(new AsciiSender(this));
        connect(m_ascii, &InbandTransfer::statusMessage, this, [this](const QString &sid, const QString &text) {
            if (m_ascii->isActive()) // progress; the end has a line of its own
                m_hub->showLine(sid, statusLine(StatusColor::neutral, QStringLiteral("📄 ") + htmlText(text)));
        });
        connect(m_ascii, &InbandTransfer::resultReady, this, [this](InbandTransfer::Outcome outcome, const QString &text) {
            const QString html = htmlText(text);
            const QString line = outcome == InbandTransfer::Succeeded
                                     ? statusLine(StatusColor::success, QStringLiteral("📄 ") + html)
                                 : outcome == InbandTransfer::Cancelled
                                     ? statusLine(StatusColor::neutral, QStringLiteral("📄 ") + html)
                                     : statusLine(StatusColor::error, QStringLiteral("⚠ ") + html);
            m_hub->showLine(m_ascii->sessionId(), line);
        });
    }
    // Text goes through the connection's own line-end handling, as typed,
    // and what the peer says meanwhile is shown.
    session->handOver(m_ascii, false);
    m_ascii->startSend(sendTo(session, true), id, {path});
}

KermitTransfer *TransferActions::ensureKermitTransfer()
{
    if (!m_kermit)
        m_kermit = adopt(new KermitTransfer(this));
    return m_kermit;
}

InbandTransfer *TransferActions::ensure(int protocol)
{
    switch (protocol) {
    case Zmodem:
        if (!m_zmodem)
            m_zmodem = adopt(new ZmodemTransfer(this));
        return m_zmodem;
    case Kermit:
        return ensureKermitTransfer();
    default:
        if (!m_xmodem)
            m_xmodem = adopt(new XmodemTransfer(this));
        return m_xmodem;
    }
}

template <typename T>
T *TransferActions::adopt(T *transfer)
{
    connect(transfer, &InbandTransfer::statusMessage, this, [this, transfer](const QString &id, const QString &text) {
        if (static_cast<InbandTransfer *>(transfer) != m_ascii)
            showStatus(id, statusLine(StatusColor::success, QStringLiteral("📦 ") + htmlText(text)), transfer->isActive());
    });
    return transfer;
}
