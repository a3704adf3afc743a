// The storage kept between calls (core/spare.hpp), checked on a
// kind of storage of its own: `spare_check NAME` runs one check, prints
// "ok" and exits 0, or prints what went wrong and exits 1
// (tests/test_spare.py runs each).
#include <atomic>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#include "core/spare.hpp"

namespace {

using tabrix::Spare;
constexpr std::size_t kKeep = 64 * 1024;
using Ints = std::vector<int>;
using IntSpare = Spare<Ints, kKeep, struct CheckStorage>;
using OtherSpare = Spare<Ints, kKeep, struct OtherCheckStorage>;

std::atomic<int> failures{0};
void expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("failed: %s\n", what);
        ++failures;
    }
}

// Storage of `ints` elements whose first element is `mark`.
Ints made(std::size_t ints, int mark) {
    Ints storage;
    storage.reserve(ints);
    storage.push_back(mark);
    return storage;
}

void same_thread_gets_its_storage_back() {
    Ints storage = made(1000, 1);
    const int* data = storage.data();
    IntSpare::give(std::move(storage));
    Ints again = IntSpare::take();
    expect(again.data() == data, "the thread's next take gets the storage it gave");
    expect(again.empty() && again.capacity() >= 1000, "taken storage is cleared and keeps its capacity");
    Ints none = IntSpare::take();
    expect(none.capacity() == 0, "storage is handed out once");
}

void bigger_storage_replaces_smaller_and_too_big_is_not_kept() {
    IntSpare::give(made(100, 1));
    Ints bigger = made(2000, 2);
    const int* data = bigger.data();
    IntSpare::give(std::move(bigger));
    IntSpare::give(made(500, 3));  // smaller: the bigger one stays
    Ints taken = IntSpare::take();
    expect(taken.data() == data, "the biggest storage given is kept");
    IntSpare::give(made(kKeep / sizeof(int) + 1, 4));
    expect(IntSpare::take().capacity() == 0, "storage beyond the bound is freed, not kept");
}

void kinds_of_the_same_type_do_not_mix() {
    OtherSpare::give(made(1000, 1));
    expect(IntSpare::take().capacity() == 0, "one kind's storage does not serve another kind");
    expect(OtherSpare::take().capacity() >= 1000, "the other kind finds its own storage");
}

void a_thread_never_takes_another_threads_storage() {
    IntSpare::give(made(1000, 1));
    std::size_t other = 1;
    std::thread([&] { other = IntSpare::take().capacity(); }).join();
    expect(other == 0, "a thread starts with nothing kept");
    expect(IntSpare::take().capacity() >= 1000, "the giving thread keeps its storage");
}

void threads_at_once_never_share_storage() {
    // Threads start and end in waves, each taking, filling and giving back;
    // a storage handed to two threads at once shows as a foreign mark.
    for (int wave = 0; wave < 50; ++wave) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([t] {
                for (int call = 0; call < 20; ++call) {
                    Ints storage = IntSpare::take();
                    for (int i = 0; i < 200; ++i) storage.push_back(t);
                    for (int value : storage) {
                        if (value != t) {
                            std::printf("failed: thread %d found another thread's mark %d\n", t, value);
                            ++failures;
                            break;
                        }
                    }
                    IntSpare::give(std::move(storage));
                }
            });
        }
        for (std::thread& t : threads) t.join();
    }
}

struct Check {
    std::string_view name;
    void (*run)();
};
constexpr Check kChecks[] = {
    {"same_thread", same_thread_gets_its_storage_back},
    {"bounds", bigger_storage_replaces_smaller_and_too_big_is_not_kept},
    {"kinds", kinds_of_the_same_type_do_not_mix},
    {"other_thread", a_thread_never_takes_another_threads_storage},
    {"threads_at_once", threads_at_once_never_share_storage},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: spare_check NAME\n");
        return 2;
    }
    for (const Check& check : kChecks) {
        if (check.name == argv[1]) {
            check.run();
            if (failures == 0) std::printf("ok\n");
            return failures == 0 ? 0 : 1;
        }
    }
    std::printf("no check named %s\n", argv[1]);
    return 2;
}
