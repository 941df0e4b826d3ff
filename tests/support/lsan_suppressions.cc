// Linked into every test and fuzz program. Leaks inside libraries we do not build are theirs to
// fix, not ours to report: x265 (behind the tests' HEIC encoder) keeps buffers until the process
// ends, libtsk leaves a few small allocations behind when it reads a GPT partition table, and
// libheif does not release the buffer it handed to dav1d when dav1d refuses an empty AV1 frame.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:x265_malloc\nleak:libtsk.so\nleak:libdav1d.so\n";
}
