#include "app/KivoFwLoader.h"

#include "app/Kivo.h"

// The write goes on whatever the wizard does meanwhile.
bool KivoFwLoader::progress(double percent) {
    owner->onProgress(percent);
    return true;
}
