#include "app/SimulatorPort.h"

#include "app/Kivo.h"
#include "sim/KivoSim.h"

const char* const kSimulatorProduct = "Kivo Simulator";

bool attachSimulator(Kivo& wizard, KivoSim& sim) {
    if (!sim.start()) return false;
    wizard.addExtraPort(QByteArray::fromStdString(sim.slavePath()), kSimulatorProduct);
    return true;
}
