// The instruction sets kernel tables are compiled for, portable first and
// fastest last, one a line: ORBISK_ISA(enumerator, name, compiler flags).
// The one list of them: cpu.h makes Isa of it, CMakeLists.txt reads each
// set's name and flags from here (a set's kernel files end in its name,
// kernels_avx2.cpp, and are compiled with its flags; sets with flags are
// x86-64's), and the Makefile reads the names (KERNELS). A new set also
// needs its line in the switches over Isa (cpu.cpp, dispatch.cpp,
// visit_dispatch.cpp, walk_dispatch.cpp), which the compiler names when one
// is missing.
// Included with ORBISK_ISA defined, so it has no include guard.
ORBISK_ISA(Scalar, scalar, "")                                          // plain C++: every machine
ORBISK_ISA(Avx2, avx2, "-mavx2")                                        // AVX2
ORBISK_ISA(Avx512, avx512, "-mavx512f")                                 // AVX-512 F
ORBISK_ISA(Avx512Vnni, avx512vnni, "-mavx512f -mavx512bw -mavx512vl -mavx512vnni")  // AVX-512 F, BW, VL and VNNI
ORBISK_ISA(Amx, amx, "-mavx512f -mavx512bw -mavx512vl -mavx512vnni -mamx-tile -mamx-int8")  // and AMX's int8 tiles
