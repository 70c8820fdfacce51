#pragma once

#include "core/sessioninfo.h"

#include <QDialog>
#include <QMap>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

// What the wizard hands back once accepted. The serial part keeps its
// defaults for every protocol but "serial".
struct NewSessionRequest {
    QString protocol = QStringLiteral("ssh"); // ssh, telnet, serial, raw, local, rlogin
    QString name;  // trimmed
    QString group; // empty: top level
    QString host;  // network: host; serial: port name; local: shell (empty: login shell)
    QString port;  // network: port; serial: baud rate; local: empty
    QString user;  // network only
    bool connectNow = true;
    bool saveToTree = true;
    SerialParams serial;
    QString auth; // network only: the login method as stored (its source text)
};

// The three-step new-session dialog: protocol card, connection parameters,
// then name, group and what to do with the session. It stores and opens
// nothing; the caller reads request() after exec() returns Accepted.
class NewSessionWizard : public QDialog
{
    Q_OBJECT
public:
    explicit NewSessionWizard(QWidget *parent = nullptr);

    void presetGroup(const QString &groupName);
    void uncheckSaveToTree();
    NewSessionRequest request() const { return chosen; }
    int currentStep() const { return step; }

    static QStringList enumerateSerialPorts();
    // The default port of a network protocol, empty for the others.
    static QString defaultPort(const QString &protocol);

public slots:
    void selectProtocol(const QString &proto);
    void nextStep();
    void prevStep();
    void accept() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void showStep(int n);
    void buildParamsPage();
    void keepParamTexts();
    QString defaultSessionName() const;
    QWidget *buildProtocolPage();
    QWidget *buildFinishPage();

    int step = 1;
    QString protocol = QStringLiteral("ssh");
    QString builtFor;
    QMap<QString, QString> kept; // parameter widget name -> text last shown
    bool nameEdited = false;

    QList<QLabel *> stepLabels;
    QList<QFrame *> cards;
    QStackedWidget *pages = nullptr;
    QWidget *paramsBox = nullptr;
    QLineEdit *nameEdit = nullptr;
    QComboBox *groupCombo = nullptr;
    QCheckBox *connectNowCheck = nullptr;
    QCheckBox *saveToTreeCheck = nullptr;
    QPushButton *prevButton = nullptr;
    QPushButton *nextButton = nullptr;

    // The parameter widgets of the current page; null when it has none.
    QComboBox *serialPortCombo = nullptr, *baudCombo = nullptr, *dataBitsCombo = nullptr, *stopBitsCombo = nullptr,
              *parityCombo = nullptr, *flowCombo = nullptr, *shellCombo = nullptr, *authCombo = nullptr;
    QLineEdit *hostEdit = nullptr, *portEdit = nullptr, *userEdit = nullptr;

    NewSessionRequest chosen;
};

// Serial codes as the session record keeps them, from the items the serial
// combos show (the items are the same in every language).
int stopBitsCode(const QString &text);
int parityCode(const QString &text);
int flowCode(const QString &text);
// A baud text within 50..4000000, else `fallback`.
int baudFromText(const QString &text, int fallback);
// The serial item lists, shared by the wizard and the options dialog: the
// source texts, in code order.
const QStringList &baudItems();
const QStringList &parityItems();
const QStringList &flowItems();
// The items as the combos show them, in the current language.
QStringList shownItems(const QStringList &sources);
