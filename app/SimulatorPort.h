#pragma once
class Kivo;
class KivoSim;

// The product name under which the in-process simulated generator appears in port scans.
extern const char* const kSimulatorProduct;

// Starts sim and lists its pty in every port scan of wizard; false when it could not start.
bool attachSimulator(Kivo& wizard, KivoSim& sim);
