/*
 * c_reference.c - the C figures that the Python benchmark compares itself with:
 * the answers per second of a 1 ms repetitive ask, and the on-demand round trip
 * (mark a read of INPUTS, send, wait for the answer on a condition variable), both
 * through the public C interface, as a C program would use it.
 *
 *     c_reference ADDRESS SECONDS ROUND_TRIPS
 *
 * Prints "poll_per_second X" and "round_trip_us MEDIAN".
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <qorvi_netpod.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;
static int event = -1;
static long answers = 0;
static int inputs_answered = 0;

static void on_data(RegisterValues* values, ComID com) {
    (void)com;
    pthread_mutex_lock(&lock);
    ++answers;
    if (values->InputsValid)
        inputs_answered = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static void on_event(int32_t code, ComID com) {
    (void)com;
    pthread_mutex_lock(&lock);
    event = code;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static struct timespec in_seconds(double seconds) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    double whole = (double)t.tv_sec + (double)t.tv_nsec / 1e9 + seconds;
    t.tv_sec = (time_t)whole;
    t.tv_nsec = (long)((whole - (double)t.tv_sec) * 1e9);
    return t;
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: c_reference ADDRESS SECONDS ROUND_TRIPS\n");
        return 2;
    }
    int32_t address[4];
    if (sscanf(argv[1], "%d.%d.%d.%d", &address[0], &address[1], &address[2], &address[3]) != 4)
        return 2;
    const double seconds = atof(argv[2]);
    const int trips = atoi(argv[3]);

    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attr);

    ComID com = NULL;
    if (!Qorvi_NETPOD_OpenConnection_MAINPORT(address, on_data, on_event, &com))
        return 1;
    struct timespec deadline = in_seconds(5);
    pthread_mutex_lock(&lock);
    while (event == -1 && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
    }
    pthread_mutex_unlock(&lock);
    if (event != 1)
        return 1;

    /* The on-demand round trip. */
    double* took = malloc(sizeof(double) * (size_t)trips);
    int done = 0;
    for (int i = 0; i < trips; ++i) {
        pthread_mutex_lock(&lock);
        inputs_answered = 0;
        pthread_mutex_unlock(&lock);
        const double start = now();
        Qorvi_NETPOD_Read_INPUTS(false, com);
        while (!Qorvi_NETPOD_SendData_MAINPORT(com)) {
            struct timespec pause = {0, 100000};
            nanosleep(&pause, NULL);
        }
        deadline = in_seconds(5);
        pthread_mutex_lock(&lock);
        while (!inputs_answered && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
        }
        const int ok = inputs_answered;
        pthread_mutex_unlock(&lock);
        if (!ok)
            break;
        took[done++] = now() - start;
    }
    qsort(took, (size_t)done, sizeof(double), compare);

    /* The repetitive ask every 1 ms. */
    Qorvi_NETPOD_Read_INPUTS(true, com);
    Qorvi_NETPOD_Read_ALL_INPUTVOLTAGEVALUE(true, com);
    Qorvi_NETPOD_RepetitiveAskSetTime(1, com);
    pthread_mutex_lock(&lock);
    answers = 0;
    pthread_mutex_unlock(&lock);
    const double start = now();
    Qorvi_NETPOD_RepetitiveAskStart(com);
    struct timespec sleep_for = {(time_t)seconds, (long)((seconds - (double)(time_t)seconds) * 1e9)};
    nanosleep(&sleep_for, NULL);
    pthread_mutex_lock(&lock);
    const long polled = answers;
    pthread_mutex_unlock(&lock);
    const double elapsed = now() - start;
    Qorvi_NETPOD_RepetitiveAskReset(com);
    Qorvi_NETPOD_CloseConnection(&com);

    printf("poll_per_second %.1f\n", (double)polled / elapsed);
    printf("round_trip_us %.1f\n", done > 0 ? took[done / 2] * 1e6 : -1.0);
    free(took);
    return done == trips ? 0 : 1;
}
