// Linked into every test program. Leaks inside libraries we do not build are theirs to fix, not
// ours to report: x265 (behind the tests' HEIC encoder) keeps buffers until the process ends, and
// libtsk leaves a few small allocations behind when it reads a GPT partition table.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:x265_malloc\nleak:libtsk.so\n";
}
