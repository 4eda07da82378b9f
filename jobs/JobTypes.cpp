#include "jobs/JobTypes.h"

const char* jobStepName(JobStep step) {
    switch (step) {
    case JobStep::None:
        return "none";
    case JobStep::Link:
        return "link";
    case JobStep::Picture:
        return "picture";
    case JobStep::Erase:
        return "erase";
    case JobStep::Bitmap:
        return "bitmap";
    case JobStep::Preview:
        return "preview";
    case JobStep::ReadFile:
        return "read file";
    case JobStep::Ping:
        return "ping";
    case JobStep::Bootloader:
        return "bootloader";
    case JobStep::Port:
        return "port";
    case JobStep::InitBootloader:
        return "init bootloader";
    case JobStep::EraseFlash:
        return "erase flash";
    case JobStep::WriteFlash:
        return "write flash";
    case JobStep::VerifyFlash:
        return "verify flash";
    case JobStep::Go:
        return "go";
    case JobStep::Done:
        return "done";
    }
    return "unknown";
}
