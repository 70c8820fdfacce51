#pragma once

#include "core/sessioninfo.h"
#include "dialogs/basesettingsdialog.h"
#include "dialogs/optionpage.h"

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QVBoxLayout;

// The options of one saved session: its own copy of the record (name, group,
// host, port, serial line, remote system type) and the settings under
// "session/<id>/". Apply and OK write the settings, hand the edited record to
// the apply handler (which puts it in the store) and make every open view of
// the session take the new terminal settings; Cancel writes nothing more.
class SessionOptionsDialog : public BaseSettingsDialog
{
    Q_OBJECT
public:
    SessionOptionsDialog(const SessionInfo &session, QWidget *parent = nullptr);

    // Called with the edited record on Apply and on OK.
    void setApplyHandler(std::function<bool(const SessionInfo &)> handler) { applyHandler = std::move(handler); }
    const SessionInfo &editedRecord() const { return record; }

    // The folder a session's log goes to for a session folder text (empty:
    // the global one), with path variables expanded.
    static QString resolveLogDir(const QString &sessionDir);
    QString effectiveLogDir() const;

protected:
    void applySettings() override;

private:
    QWidget *createConnectionPage();
    void buildConnectionPage(QVBoxLayout *layout);
    void buildSerialRows(QVBoxLayout *layout);
    std::vector<OptionRow> terminalRows();
    std::vector<OptionRow> logRows();
    void addLogDirRow(QVBoxLayout *layout, OptionBindings &bindings);
    void updateLogDirToolTip();
    void updateLogOverrideState();
    void browseLogDir();
    void openLogDir();
    QString typeLower() const { return record.type.toLower(); }

    SessionInfo record;
    QString prefix;
    OptionBindings bindings;
    std::function<bool(const SessionInfo &)> applyHandler;

    QLineEdit *nameEdit = nullptr;
    QComboBox *groupCombo = nullptr;
    QLineEdit *hostEdit = nullptr;
    QLineEdit *portEdit = nullptr;
    QComboBox *serialPortCombo = nullptr, *baudCombo = nullptr, *dataBitsCombo = nullptr, *stopBitsCombo = nullptr,
              *parityCombo = nullptr, *flowCombo = nullptr, *shellCombo = nullptr;
    QComboBox *logOptionCombo = nullptr;
    QLineEdit *logDirEdit = nullptr;
    QLabel *logDirShown = nullptr;
    QComboBox *envTypeCombo = nullptr;
    QComboBox *fontFamilyCombo = nullptr;
    QSpinBox *fontSizeSpin = nullptr;
};
