#include "app/diagnostics.h"
#include "core/appsettings.h"
#include "core/languagemanager.h"
#include "mainwindow/mainwindow.h"
#include "resources/stylesheet.h"
#include "ui/pasteguard.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    installDiagnostics();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Halvorstead"));
    QApplication::setApplicationDisplayName(QStringLiteral("Halvorstead"));
    QApplication::setStyle(QStringLiteral("Fusion"));
    app.setStyleSheet(QString::fromUtf8(appStyleSheet));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/appicon.ico")));
    EmptyPasteGuard::install(app);

    // The first settings read resolves the data folder for the whole run.
    const QString language = AppSettings::instance().getString(QStringLiteral("ui/language"), QStringLiteral("en"));
    LanguageManager::setLanguage(language);

    int result;
    {
        MainWindow window;
        window.show();
        result = app.exec();
    }
    return result;
}
