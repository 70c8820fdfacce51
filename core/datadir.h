#pragma once

#include <QString>

// Where the program keeps its own files. Resolved once per process from, in
// order: the environment variable HALVORSTEAD_DATA_DIR, the file
// "portable.ini" beside the executable, then the per-user data location.
struct DataDirInfo {
    QString dir;   // absolute, cleaned
    QString mode;  // "env", "portable" or "default"
};

const DataDirInfo &dataDirInfo();
bool isCustomDataDir();
QString dataDir();
QString dataFilePath(const QString &fileName);

// The folder of the running executable, or the current folder.
QString applicationDir();
QString resolvePath(const QString &path);
bool ensureDir(const QString &path);
QString readPortableIni(bool *found);

// Resolution itself, with its inputs spelled out so that every precedence
// rule can be exercised without restarting the process.
DataDirInfo resolveDataDir(const QString &envValue, const QString &appDir);
QString readPortableIni(const QString &appDir, bool *found);
QString resolvePath(const QString &path, const QString &appDir);

// Replaces %APPDATA% (the data folder), %USERPROFILE% and %LOCALAPPDATA%,
// ignoring case. "%APPDATA%\Halvorstead" folds into the data folder itself.
QString expandPathVariables(const QString &path);
