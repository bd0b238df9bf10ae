// vontal_icon: draws the launcher's icon, the program's own formula picture, as PNG files for
// the icon theme. Run by the build: vontal_icon OUTDIR SIZE... writes OUTDIR/vontal-SIZE.png.
#include <QDir>
#include <QGuiApplication>

#include <cstdio>

#include "gui/FormulaIcons.h"

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 3) {
        std::fputs("usage: vontal_icon OUTDIR SIZE...\n", stderr);
        return 2;
    }
    const QDir out(args[1]);
    for (int i = 2; i < args.size(); ++i) {
        bool ok = false;
        const int size = args[i].toInt(&ok);
        const QString path = out.filePath(QStringLiteral("vontal-%1.png").arg(size));
        // The picture of a running search: green, the formula in black.
        if (!ok || size < 16 || size > 1024 ||
            !vontal::FormulaPicture(vontal::FormulaIcon::Continue, size).save(path, "PNG")) {
            std::fprintf(stderr, "vontal_icon: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
