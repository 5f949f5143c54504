/* bench_sleeploop: the idle baseline of bench_process, a loop that does
 * nothing but sleep 33 ms at a time, as a frame loop without work would.
 * Plain C and no libraries beyond libc, so its memory is the floor too. */
#include <unistd.h>

int main(void) {
    for (;;) {
        usleep(33000);
    }
}
