/* Entry point of the host without a C runtime start-up: main, then the
 * process ends with its exit code (stdio flushed by main). */
int main(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

void start(void) { ExitProcess((unsigned)main()); }
