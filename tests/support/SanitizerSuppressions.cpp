// What the sanitizers report inside system libraries that are not ours to fix. Programs that render
// text or use GL link this file.

// libx265 keeps one block of its own for the life of the process.
// fontconfig keeps a few blocks from FcInit for the life of the process, out of the leak checker's
// sight. The GL driver cannot give back a context whose X server has gone (the display tests stop
// their X server under a running display on purpose).
extern "C" const char *__lsan_default_suppressions();
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n"
           "leak:swrast_dri.so\n"
           "leak:libGLX_mesa.so\n"
           "leak:libx265.so\n"; // the HEVC encoder that makes the decoder tests' streams
}

// Mesa's software GL driver runs threads of its own with its own locking, libX11 takes its display
// lock oddly once a connection has broken, and the GL library loads its driver under the dynamic
// loader's own lock, which the race detector does not see (two displays starting at once).
extern "C" const char *__tsan_default_suppressions();
extern "C" const char *__tsan_default_suppressions()
{
    return "race:swrast_dri.so\n"
           "race:libGLX_mesa.so\n"
           "mutex:libX11.so\n"
           "called_from_lib:swrast_dri.so\n";
}
