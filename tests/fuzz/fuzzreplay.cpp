// Without libFuzzer a fuzz target feeds itself each file of the folders or files it is given.
#ifdef HV_FUZZ_REPLAY
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const QFileInfo path(QString::fromLocal8Bit(argv[i]));
        for (const QFileInfo &file : path.isDir() ? QDir(path.filePath()).entryInfoList(QDir::Files, QDir::Name) : QFileInfoList{path}) {
            QFile f(file.filePath());
            if (!f.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(f.fileName()));
                return 1;
            }
            const QByteArray bytes = f.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size())), ++count;
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
#endif
