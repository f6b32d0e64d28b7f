#include "host/vrn_mutex.h"

#include <errno.h>

VrnMutex::VrnMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
}

VrnMutex::~VrnMutex() {
    pthread_mutex_destroy(&mutex_);
}

bool VrnMutex::Lock() {
    int rc = pthread_mutex_lock(&mutex_);
    return rc == 0 || rc == EDEADLK;
}

bool VrnMutex::Trylock() {
    return pthread_mutex_trylock(&mutex_) == 0;
}

void VrnMutex::Unlock() {
    pthread_mutex_unlock(&mutex_);
}
