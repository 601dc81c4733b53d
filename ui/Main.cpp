#include "ui/Main.h"

#include <cstdio>

#include "commands/CFlashCmd.h"
#include "platform/COsDepend.h"
#include "platform/HardwareBackend.h"
#include "ui/CTevUI.h"
#include "ui/Package.h"

int VorbanmillMain(int argc, char** argv) {
    if (Hw().EffectiveUid() != 0) {
        std::puts("\tApplication requires administrative privileges.");
        return 1;
    }
    // Started without even a program path (an empty argument vector): go on
    // as if started by name, so nothing reads a missing word.
    static char defaultPath[] = "vorbanmill";
    char* fallback[] = {defaultPath, nullptr};
    if (argc < 1 || !argv || !argv[0]) {
        argc = 1;
        argv = fallback;
    }
    packageDescriptor.exePath = argv[0];

    std::printf("%s version %s, Copyright (C) 2019. All rights reserved.\n\n", "VORBANMILL", kProgramVersion);

    // Anything but a regular file counts as absent: the built-in table is used.
    FILE* typeTable = COsDepend::OpenInputFile("quendrix.rom");
    CFlashCmd* command = new CFlashCmd(typeTable, 0);
    if (typeTable) std::fclose(typeTable);

    CTevUI* ui = new CTevUI();
    int code = ui->Run(argc, argv, command);
    ui->RebootIfRequested();
    delete ui;
    delete command;
    return code;
}
