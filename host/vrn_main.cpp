// Process entry: the whole process belongs to the host library.
#include "host/vrn_host_lib.h"

int main(int argc, char** argv, char** envp) {
    return libvrns_main(argc, argv, envp);
}
