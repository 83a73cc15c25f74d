# Applying a patch with qlmr-patchkit against unzip, whole processes.
qlmr_add_bench(qlmr_patch_bench patch_bench.cpp LIBS qlmr_patch_builder)
add_dependencies(qlmr_patch_bench qlmr-patchkit)
