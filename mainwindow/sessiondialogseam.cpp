#include "mainwindow/sessiondialogseam.h"

#include "dialogs/newsessionwizard.h"
#include "dialogs/sessionoptionsdialog.h"
#include "mainwindow/sessionhub.h"

void installSessionDialogs(SessionDialogs &dialogs)
{
    dialogs.runWizard = [](QWidget *parent, const QString &group, bool quick) -> std::optional<NewSessionResult> {
        NewSessionWizard wizard(parent);
        wizard.presetGroup(group);
        if (quick)
            wizard.uncheckSaveToTree();
        if (wizard.exec() != QDialog::Accepted)
            return std::nullopt;
        const NewSessionRequest r = wizard.request();
        NewSessionResult out;
        out.type = r.protocol;
        out.name = r.name;
        out.group = r.group;
        out.host = r.host;
        out.port = r.port;
        out.user = r.user;
        out.serial = r.serial;
        out.connectNow = r.connectNow;
        out.saveToTree = r.saveToTree;
        out.auth = r.auth;
        return out;
    };
    dialogs.runSessionOptions = [](QWidget *parent, const SessionInfo &info,
                                   const std::function<bool(const SessionInfo &)> &apply) {
        SessionOptionsDialog dialog(info, parent);
        dialog.setApplyHandler(apply);
        dialog.exec();
    };
}
