// Recycled fixed-size blocks for the objects made and freed once per event on the hot path:
// pump nodes and tasks, wheel nodes, write requests. Such an object is still made with `new`
// and freed with `delete` where it always was; its class routes those two through a pool:
//
//     static void* operator new(size_t n) { return VrnPoolNew<PumpNode>(n); }
//     static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<PumpNode>(p, n); }
//
// Each thread keeps up to kCacheBlocks free blocks of each size, taken and given without a lock.
// Objects often die on another thread than the one that made them (the loop thread makes a
// task, a pump worker frees it), so whole batches of kBatchBlocks move between the threads'
// caches and one shared stock, one short lock per batch. The stock keeps at most kStockBatches
// batches and hands the rest back to the allocator, so memory stays bounded; a thread that ends
// hands its cache to the stock.
//
// Blocks come from and go back to ::operator new / ::operator delete, so a block of the right
// size made elsewhere may be freed into a pool, and a size other than the class's own (a
// derived class) goes straight to the allocator.
//
// Under AddressSanitizer or ThreadSanitizer the classes' new and delete go straight to the
// allocator: a freed block kept in a pool stays allocated as far as the sanitizer knows, and the
// next object of the same size, of whatever type, takes it over, so a use-after-free would read
// a live object and pass unseen.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <new>

template <size_t Size>
class VrnBlockPool {
  public:
    static constexpr int kCacheBlocks = 64;
    static constexpr int kBatchBlocks = 32;
    static constexpr int kStockBatches = 64;

    static void* Allocate() {
        Cache& c = LocalCache();
        if (c.count == 0) c.Refill();
        if (c.count == 0) {
            fresh_.fetch_add(1, std::memory_order_relaxed);
            return ::operator new(BlockSize());
        }
        return c.Pop();
    }

    static void Release(void* p) noexcept {
        Cache& c = LocalCache();
        if (c.count >= kCacheBlocks) c.Spill();
        c.Push(static_cast<Block*>(p));
    }

    // Blocks taken from the allocator so far (for tests and the curious).
    static int64_t FreshBlocks() { return fresh_.load(std::memory_order_relaxed); }

  private:
    struct Block {
        Block* next;
    };
    static constexpr size_t BlockSize() { return Size < sizeof(Block) ? sizeof(Block) : Size; }

    // Batches given up by threads' caches, each a chain of up to kBatchBlocks blocks.
    struct Stock {
        std::mutex mutex;  // guards batches and count
        Block* batches[kStockBatches] = {};
        int count = 0;
    };
    // Never destroyed: threads may hand their caches back during process exit.
    static Stock& SharedStock() {
        static Stock* stock = new Stock;
        return *stock;
    }

    // One thread's free blocks; no lock, only its own thread touches it.
    struct Cache {
        Block* head = nullptr;
        int count = 0;

        Block* Pop() {
            Block* b = head;
            head = b->next;
            --count;
            return b;
        }
        void Push(Block* b) {
            b->next = head;
            head = b;
            ++count;
        }
        // Takes one batch from the stock, if it has one.
        void Refill() {
            Stock& s = SharedStock();
            Block* batch = nullptr;
            {
                std::lock_guard<std::mutex> guard(s.mutex);
                if (s.count > 0) batch = s.batches[--s.count];
            }
            while (batch) {
                Block* next = batch->next;
                Push(batch);
                batch = next;
            }
        }
        // Gives up to one batch to the stock, or to the allocator when the stock is full.
        void Spill() {
            Block* batch = nullptr;
            for (int i = 0; i < kBatchBlocks && head; ++i) {
                Block* b = Pop();
                b->next = batch;
                batch = b;
            }
            Stock& s = SharedStock();
            {
                std::lock_guard<std::mutex> guard(s.mutex);
                if (s.count < kStockBatches) {
                    s.batches[s.count++] = batch;
                    return;
                }
            }
            while (batch) {
                Block* next = batch->next;
                ::operator delete(batch);
                batch = next;
            }
        }
        ~Cache() {
            while (count > 0) Spill();
        }
    };
    static Cache& LocalCache() {
        thread_local Cache cache;
        return cache;
    }

    static inline std::atomic<int64_t> fresh_{0};
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kVrnPoolsInUse = false;
#else
constexpr bool kVrnPoolsInUse = true;
#endif

template <class T>
void* VrnPoolNew(size_t n) {
    return kVrnPoolsInUse && n == sizeof(T) ? VrnBlockPool<sizeof(T)>::Allocate() : ::operator new(n);
}

template <class T>
void VrnPoolDelete(void* p, size_t n) noexcept {
    if (p == nullptr) return;
    if (kVrnPoolsInUse && n == sizeof(T))
        VrnBlockPool<sizeof(T)>::Release(p);
    else
        ::operator delete(p);
}
