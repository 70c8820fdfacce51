#pragma once

#include <QString>

class QComboBox;

// The shell choice of a local-shell session. The first entry stands for the
// user's login shell and keeps whatever default text the record held (empty,
// or a name from another system that also meant "the default"), so saving
// an unchanged choice never rewrites it. Then come the shells /etc/shells
// lists, by path. A stored shell that is none of these is listed as typed and
// stays selected: it fails when connecting, with the opener's own message.
void fillShellCombo(QComboBox *combo, const QString &stored);

// What to store for the selected entry.
QString chosenShell(const QComboBox *combo);
