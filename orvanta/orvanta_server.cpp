#include "orvanta/orvanta_server.h"

#include <stdio.h>
#include <string.h>

int RunServer(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
        printf("usage: vrns [--help] [--version]\n");
        return 0;
    }
    fprintf(stderr, "vrns: serving is not available in this build\n");
    return 2;
}
