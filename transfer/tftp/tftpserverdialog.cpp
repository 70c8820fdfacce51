#include "transfer/tftp/tftpserverdialog.h"

#include "core/languagemanager.h"
#include "transfer/tftp/tftpserver.h"
#include "ui/dialogframe.h"
#include "ui/titlebar.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTime>
#include <QVBoxLayout>

TftpServerDialog::TftpServerDialog(QWidget *parent) : QDialog(parent)
{
    const DialogFrame frame = frameDialog(this, QString(), 16, 10);
    titleBar = frame.bar;
    QWidget *content = frame.body;
    QVBoxLayout *layout = frame.layout;
    resize(560, 420);
    setStyleSheet(QStringLiteral("QDialog{background-color:#252526;color:#cccccc;}"));

    auto *folderRow = new QHBoxLayout;
    folderLabel = new QLabel(content);
    folderRow->addWidget(folderLabel, 0);
    folderEdit = new QLineEdit(QDir::homePath(), content);
    folderRow->addWidget(folderEdit, 1);
    browseButton = new QPushButton(content);
    folderRow->addWidget(browseButton, 0);
    layout->addLayout(folderRow);

    auto *portRow = new QHBoxLayout;
    portLabel = new QLabel(content);
    portRow->addWidget(portLabel);
    portSpin = new QSpinBox(content);
    portSpin->setRange(1, 65535);
    portSpin->setValue(69);
    // A port is typed, not stepped; the dark style left the step buttons blank.
    portSpin->setButtonSymbols(QAbstractSpinBox::NoButtons);
    portSpin->setMinimumWidth(80);
    portRow->addWidget(portSpin);
    portRow->addStretch(1);
    startButton = new QPushButton(content);
    startButton->setObjectName(QStringLiteral("primaryButton"));
    portRow->addWidget(startButton);
    layout->addLayout(portRow);

    statusLabel = new QLabel(content);
    statusLabel->setStyleSheet(QStringLiteral("color:#858585;"));
    layout->addWidget(statusLabel, 0);

    logList = new QListWidget(content);
    logList->setStyleSheet(QStringLiteral("QListWidget{background-color:#1e1e1e;border:1px solid #3e3e42;color:#cccccc;"
                                          "font-family:Consolas,monospace;font-size:12px;}"));
    // One line per row: without this every new row lays out all the others.
    logList->setUniformItemSizes(true);
    layout->addWidget(logList, 1);

    // The engine reads the folder at every request, so an edit made while
    // the server runs serves the requests that follow it.
    server = new TftpServer(this);
    server->setRootFolder(folderEdit->text());
    connect(folderEdit, &QLineEdit::textChanged, server, &TftpServer::setRootFolder);
    connect(server, &TftpServer::logLine, this, &TftpServerDialog::appendLog);
    connect(browseButton, &QPushButton::clicked, this, &TftpServerDialog::chooseFolder);
    connect(startButton, &QPushButton::clicked, this, &TftpServerDialog::toggleServer);
    // The main window keeps this dialog between uses: it follows a language
    // switch made while it was hidden.
    connect(LanguageManager::hub(), &Lang::LangSignalHub::languageChanged, this, &TftpServerDialog::retranslate);
    retranslate();
}

void TftpServerDialog::retranslate()
{
    const QString title = LanguageManager::tr("📦 TFTP 服务器");
    titleBar->setTitle(title);
    setWindowTitle(title);
    folderLabel->setText(LanguageManager::tr("服务目录:"));
    browseButton->setText(LanguageManager::tr("浏览..."));
    portLabel->setText(LanguageManager::tr("端口:"));
    showState();
}

void TftpServerDialog::showState()
{
    const bool running = server->isRunning();
    startButton->setText(running ? LanguageManager::tr("停止服务器") : LanguageManager::tr("启动服务器"));
    statusLabel->setText(running ? LanguageManager::tr("监听 0.0.0.0:%1，服务目录 %2")
                                           .arg(QString::number(server->localPort()), folderEdit->text())
                                 : LanguageManager::tr("服务器未启动"));
}

TftpServerDialog::~TftpServerDialog()
{
    server->disconnect(this);
    server->stop();
}

void TftpServerDialog::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, LanguageManager::tr("选择服务目录"), folderEdit->text(),
                                                             QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        folderEdit->setText(folder);
}

void TftpServerDialog::toggleServer()
{
    if (server->isRunning()) {
        server->stop();
        showState();
        appendLog(LanguageManager::tr("服务器已停止"));
        return;
    }
    const QString port = QString::number(portSpin->value());
    QString error;
    if (!server->start(quint16(portSpin->value()), QHostAddress::Any, &error)) {
        appendLog(LanguageManager::tr("绑定端口 %1 失败：%2").arg(port, error));
        return;
    }
    showState();
    appendLog(LanguageManager::tr("服务器已启动：端口 %1，目录 %2").arg(port, folderEdit->text()));
}

void TftpServerDialog::closeEvent(QCloseEvent *event)
{
    if (server->isRunning())
        toggleServer();
    QDialog::closeEvent(event);
}

void TftpServerDialog::appendLog(const QString &text)
{
    logList->addItem(QStringLiteral("[%1] %2").arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), text));
    while (logList->count() > maxLogRows)
        delete logList->takeItem(0);
    logList->scrollToBottom();
}
