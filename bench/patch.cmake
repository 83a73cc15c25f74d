# Applying a patch with qlmr-patchkit against unzip, whole processes.
qlmr_add_bench(qlmr_patch_bench patch_bench.cpp LIBS qlmr_patch_builder qlmr_bench_util)
add_dependencies(qlmr_patch_bench qlmr-patchkit)
# The release tool and the apply at 2 or 1,000 against 10,000 files.
qlmr_add_bench(qlmr_scale_bench scale_bench.cpp LIBS qlmr_patch_builder qlmr_pack qlmr_bench_util)
add_dependencies(qlmr_scale_bench qlmr-patchkit qlmr-pak)
# A packed package with its zip entries deflated against stored.
qlmr_add_bench(qlmr_packed_bench packed_bench.cpp LIBS qlmr_patch_builder qlmr_pack qlmr_bench_util)
add_dependencies(qlmr_packed_bench qlmr-patchkit)
# Two installations shaped like a real release, for whole-command figures.
add_executable(qlmr_release_gen release_gen.cpp)
target_link_libraries(qlmr_release_gen PRIVATE qlmr_bench_util qlmr_pack qlmr_base)
# The zip writer's deflate on 1 thread against every processor.
qlmr_add_bench(qlmr_zip_write_bench zip_write_bench.cpp LIBS qlmr_patch_builder qlmr_bench_util)
