// fontconfig keeps a few blocks from FcInit for the life of the process, out of the leak checker's
// sight; they are not ours to free. Programs that render text link this file.
extern "C" const char *__lsan_default_suppressions();
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
