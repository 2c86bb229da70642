// The process-wide pool's build-once rule, its errors and the default size
// from the environment. Each case runs in a fresh child of a process that
// never touches the pool itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sim/circuit.hpp"
#include "sim/panic.hpp"
#include "sim/system_limits.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

const std::string kAlready = "The global thread pool has already been initialized.";
const std::string kNotInitialized = "The global thread pool has not been initialized.: ";

std::string build_error(std::size_t n) {
    try {
        build_global(n);
    } catch (const PoolBuildError& e) {
        return e.what();
    }
    return "";
}

std::string panic_of_pool_use() {
    return test::panic_message([] { current_num_threads(); });
}

TEST(GlobalPool, BuildsOnceWithTheGivenSize) {
    EXPECT_EQ(test::in_child([] {
        CHILD_EXPECT(build_error(3).empty());
        CHILD_EXPECT(current_num_threads() == 3);
        CHILD_EXPECT(build_error(3) == kAlready);
        CHILD_EXPECT(build_error(1) == kAlready);
        StateVector v(16);
        v.apply_mat2(15, matrix_of(X{15}));
        CHILD_EXPECT(v.amplitudes()[std::size_t{1} << 15].re == 1.0f);
        return 0;
    }), 0);
}

TEST(GlobalPool, FirstKernelBuildsTheDefaultFromTheEnvironment) {
    EXPECT_EQ(test::in_child([] {
        ::setenv("RAYON_NUM_THREADS", "3", 1);
        ::setenv("RAYON_RS_NUM_CPUS", "2", 1);
        StateVector v(1);
        v.apply_cnot(0, 1);  // changes nothing, but asks the pool first
        CHILD_EXPECT(current_num_threads() == 3);
        CHILD_EXPECT(build_error(2) == kAlready);
        return 0;
    }), 0);
    EXPECT_EQ(test::in_child([] {
        ::setenv("RAYON_NUM_THREADS", " 3", 1);
        ::setenv("RAYON_RS_NUM_CPUS", "2", 1);
        CHILD_EXPECT(current_num_threads() == 2);
        return 0;
    }), 0);
    EXPECT_EQ(test::in_child([] {
        ::setenv("RAYON_NUM_THREADS", "0", 1);
        ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
        CHILD_EXPECT(current_num_threads() == available_parallelism());
        return 0;
    }), 0);
}

TEST(GlobalPool, WhatTouchesThePoolAndWhatDoesNot) {
    // Neither an empty circuit nor a chunk-size panic creates the pool.
    EXPECT_EQ(test::in_child([] {
        StateVector v(2);
        Circuit({}).run(v);
        try {
            v.apply_mat2(63, matrix_of(X{0}));
        } catch (const Panic&) {
        }
        try {
            v.apply_cnot(0, 127);
        } catch (const Panic&) {
        }
        CHILD_EXPECT(build_error(2).empty());
        return 0;
    }), 0);
    // The out-of-bounds panic comes after the pool query; so do the kernels
    // that change nothing.
    for (int which = 0; which < 3; ++which) {
        EXPECT_EQ(test::in_child([which] {
            StateVector v(2);
            try {
                if (which == 0) {
                    v.apply_mat2(5, matrix_of(X{0}));
                } else if (which == 1) {
                    v.apply_cnot(1, 1);
                } else {
                    v.apply_crz(63, 0, 1.0f);
                }
            } catch (const Panic&) {
            }
            CHILD_EXPECT(build_error(2) == kAlready);
            return 0;
        }), 0) << which;
    }
}

TEST(GlobalPool, AFailedBuildLeavesThePoolUnusable) {
    if (test::kAddressSanitizer || test::kThreadSanitizer) {
        GTEST_SKIP() << "a sanitizer runtime needs the address space this test takes away";
    }
    EXPECT_EQ(test::in_child([] {
        const rlimit old = test::starve_address_space();
        const std::string first = build_error(4);
        test::restore_address_space(old);
        CHILD_EXPECT(first.ends_with(" (os error 11)") || first.ends_with(" (os error 12)"));
        CHILD_EXPECT(build_error(1) == kAlready);
        const std::string use = panic_of_pool_use();
        CHILD_EXPECT(use.starts_with(kNotInitialized));
        CHILD_EXPECT(panic_of_pool_use().starts_with(kNotInitialized));
        StateVector v(3);
        try {
            v.apply_mat2(0, matrix_of(H{0}));
            return 5;
        } catch (const Panic& p) {
            CHILD_EXPECT(p.message().starts_with(kNotInitialized));
        }
        return 0;
    }), 0);
}

TEST(GlobalPool, AFailedDefaultBuildPanicsAtFirstUse) {
    if (test::kAddressSanitizer || test::kThreadSanitizer) {
        GTEST_SKIP() << "a sanitizer runtime needs the address space this test takes away";
    }
    EXPECT_EQ(test::in_child([] {
        ::setenv("RAYON_NUM_THREADS", "4", 1);
        const rlimit old = test::starve_address_space();
        const std::string first = panic_of_pool_use();
        test::restore_address_space(old);
        std::fprintf(stderr, "%s\n", first.c_str());
        CHILD_EXPECT(first.starts_with(kNotInitialized));
        CHILD_EXPECT(first.find("(os error 1") != std::string::npos);
        CHILD_EXPECT(panic_of_pool_use().starts_with(kNotInitialized));
        CHILD_EXPECT(build_error(2) == kAlready);
        return 0;
    }), 0);
}

}  // namespace
}  // namespace vastrel::sim
