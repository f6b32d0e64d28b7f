// A recursive mutex for the host library. The object's whole state is the pthread mutex, so its
// size and layout are those of pthread_mutex_t; the owner decides where it lives.
#pragma once

#include <pthread.h>

class VrnMutex {
  public:
    VrnMutex();
    ~VrnMutex();
    VrnMutex(const VrnMutex&) = delete;
    VrnMutex& operator=(const VrnMutex&) = delete;

    // True when taken, also when the lock call reports EDEADLK.
    bool Lock();
    // True only when taken without waiting.
    bool Trylock();
    void Unlock();

  private:
    pthread_mutex_t mutex_;
};
