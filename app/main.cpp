#include "app/Kivo.h"
#include "app/SimulatorPort.h"
#include "sim/KivoSim.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {

const char* const kSimulatorOption = "--simulator";

void installQtTranslation(QApplication& app) {
    auto* translator = new QTranslator(&app);
    const QString name = "qt_" + QLocale::system().name();
    if (translator->load(name, QLibraryInfo::location(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
}

} // namespace

int main(int argc, char** argv) {
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
