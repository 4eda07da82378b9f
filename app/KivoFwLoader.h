#pragma once
#include "bootloader/Stm32Bootload.h"

class Kivo;

// Bootloader client whose write progress moves the wizard's progress bar.
class KivoFwLoader final : public Stm32Bootload {
public:
    explicit KivoFwLoader(Kivo* owner) : owner(owner) {}
    bool progress(double percent) override;

    Kivo* owner;
};
