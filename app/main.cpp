#include "app/Kivo.h"
#include "app/SimulatorPort.h"
#include "sim/KivoSim.h"

#include "KivoVersion.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

const char* const kSimulatorOption = "--simulator";

const char* const kHelp =
    "Usage: kivo-updater [--simulator] [Qt options]\n"
    "\n"
    "The Kivo Updater wizard: replaces a stored test pattern of a Kivo generator with\n"
    "a picture, or installs new firmware, through a serial port.\n"
    "\n"
    "  --simulator   offer a simulated generator as a port (no hardware needed)\n"
    "  --help, -h    print this help and exit\n"
    "  --version     print the version and exit\n"
    "\n"
    "The command-line tool kivo does the same jobs from a script.\n";

// --help and --version answer before the toolkit starts: no display is needed for them.
bool answeredWithoutGui(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(kHelp, stdout);
            return true;
        }
        if (!strcmp(argv[i], "--version")) {
            printf("kivo-updater %s\n", kivoVersionString());
            return true;
        }
    }
    return false;
}

void installQtTranslation(QApplication& app) {
    auto* translator = new QTranslator(&app);
    const QString name = "qt_" + QLocale::system().name();
    if (translator->load(name, QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
}

} // namespace

int main(int argc, char** argv) {
    if (answeredWithoutGui(argc, argv)) return 0;
    Q_INIT_RESOURCE(Kivo_Updater);
    QApplication app(argc, argv);
    installQtTranslation(app);

    // The simulator outlives the wizard, which closes its link to it on the way out.
    std::unique_ptr<KivoSim> sim;
    if (app.arguments().contains(kSimulatorOption)) sim = std::make_unique<KivoSim>();
    Kivo wizard(nullptr);
    if (sim && !attachSimulator(wizard, *sim)) {
        std::fprintf(stderr, "kivo-updater: the simulated generator could not start\n");
        return 1;
    }
    wizard.addQsPages();
    wizard.show();
    return app.exec();
}
