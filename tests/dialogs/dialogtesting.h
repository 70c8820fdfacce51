#pragma once

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QTest>
#include <QVariantMap>

inline void press(QDialog &dialog, const QString &text)
{
    for (QPushButton *b : dialog.findChildren<QPushButton *>())
        if (b->text() == text)
            return QTest::mouseClick(b, Qt::LeftButton);
    QFAIL(qPrintable("no button " + text));
}

// Sets editors found by object name: a line edit takes the text, a combo
// shows it (typed into an editable one), a spin box takes the number.
inline void fill(QWidget &root, const QVariantMap &values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        QWidget *w = root.findChild<QWidget *>(it.key());
        if (auto *e = qobject_cast<QLineEdit *>(w))
            e->setText(it.value().toString());
        else if (auto *c = qobject_cast<QComboBox *>(w))
            c->isEditable() ? c->setEditText(it.value().toString()) : c->setCurrentText(it.value().toString());
        else if (auto *s = qobject_cast<QSpinBox *>(w))
            s->setValue(it.value().toInt());
        else
            QFAIL(qPrintable("no editor " + it.key()));
    }
}

// "port/baud/data/stop/parity/flow" of a record or of the wizard's serial part.
template <typename T> QString serialText(const T &s)
{
    return QStringList{s.serial_port, QString::number(s.serial_baud), QString::number(s.serial_databits),
                       QString::number(s.serial_stopbits), QString::number(s.serial_parity),
                       QString::number(s.serial_flow)}
        .join('/');
}

template <typename T> void setSerial(T &s, const QString &text)
{
    const QStringList f = text.split('/');
    s.serial_port = f.mid(0, f.size() - 5).join('/');
    s.serial_baud = f.at(f.size() - 5).toInt();
    s.serial_databits = f.at(f.size() - 4).toInt();
    s.serial_stopbits = f.at(f.size() - 3).toInt();
    s.serial_parity = f.at(f.size() - 2).toInt();
    s.serial_flow = f.at(f.size() - 1).toInt();
}
