/*
 * quickstart.c - the whole life of a connection, in C:
 * open, read every register, switch two outputs on, poll the inputs, close.
 *
 *     quickstart ADDRESS          for example: quickstart 192.168.0.12
 *
 * The library answers through callbacks that run on its notification thread; this
 * program hands each answer to the main thread through a mutex and a condition
 * variable, and the main thread waits for it with a time-out.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, pthread_condattr_setclock */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qorvi_netpod.h"

/* Shared between the callbacks (notification thread, which writes) and main (which
 * reads), always under `lock`. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;
static int connected = -1;        /* last Com_Event code, -1 before the first */
static int answers = 0;           /* answers received so far */
static RegisterValues latest;     /* a copy of the latest answer */

static void on_data(RegisterValues* values, ComID com) {
    (void)com;
    pthread_mutex_lock(&lock);
    latest = *values;
    ++answers;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static void on_event(int32_t code, ComID com) {
    (void)com;
    pthread_mutex_lock(&lock);
    connected = code;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
}

static struct timespec deadline_in(int ms) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

/* Waits until more than `seen` answers have come; copies the latest into `out`. */
static int wait_for_answer(int seen, RegisterValues* out, int timeout_ms) {
    struct timespec deadline = deadline_in(timeout_ms);
    int ok = 1;
    pthread_mutex_lock(&lock);
    while (answers <= seen && connected == 1 && ok)
        ok = pthread_cond_timedwait(&changed, &lock, &deadline) == 0;
    ok = answers > seen;
    if (ok)
        *out = latest;
    pthread_mutex_unlock(&lock);
    return ok;
}

static int answers_so_far(void) {
    pthread_mutex_lock(&lock);
    int n = answers;
    pthread_mutex_unlock(&lock);
    return n;
}

static void print_last_error(const char* what) {
    char text[512];
    int32_t length = (int32_t)sizeof text - 1;
    Qorvi_NETPOD_GetLastError(text, &length);
    text[length] = '\0'; /* the library writes no terminator */
    fprintf(stderr, "%s failed: %s\n", what, text);
}

/* One on-demand exchange: send what is marked and wait for the answer. */
static int exchange(ComID com, RegisterValues* answer) {
    int seen = answers_so_far();
    if (!Qorvi_NETPOD_SendData_MAINPORT(com)) {
        print_last_error("Qorvi_NETPOD_SendData_MAINPORT");
        return 0;
    }
    if (!wait_for_answer(seen, answer, 5000)) {
        fprintf(stderr, "no answer from the module\n");
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    int32_t address[4];
    if (argc != 2 || sscanf(argv[1], "%d.%d.%d.%d", &address[0], &address[1], &address[2], &address[3]) != 4) {
        fprintf(stderr, "usage: quickstart ADDRESS\n");
        return 2;
    }
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attr);

    /* Open: the call makes an initial test over UDP, then starts the TCP connection;
     * Com_Event 1 says when it is up. */
    ComID com = NULL;
    if (!Qorvi_NETPOD_OpenConnection_MAINPORT(address, on_data, on_event, &com)) {
        print_last_error("Qorvi_NETPOD_OpenConnection_MAINPORT");
        return 1;
    }
    int status = 1;
    struct timespec deadline = deadline_in(5000);
    pthread_mutex_lock(&lock);
    while (connected == -1 && pthread_cond_timedwait(&changed, &lock, &deadline) == 0) {
    }
    int up = connected == 1;
    pthread_mutex_unlock(&lock);
    if (!up) {
        fprintf(stderr, "no connection to %s\n", argv[1]);
        goto close;
    }

    /* Read every register in one exchange. */
    RegisterValues values;
    Qorvi_NETPOD_Read_AllRegister(com);
    if (!exchange(com, &values) || !values.TypeValid)
        goto close;
    char name[17] = {0};
    memcpy(name, values.ModuleName, 16); /* sixteen bytes, not terminated */
    printf("type %d.%d, firmware %d.%d, supply %.2f V, name \"%s\"\n", (int)values.TypeHigh, (int)values.TypeLow,
           (int)values.VersionA, (int)values.VersionB, values.Voltage, name);

    /* Switch outputs 0 and 9 on, then read them back. */
    bool outputs[16] = {false};
    outputs[0] = outputs[9] = true;
    if (!Qorvi_NETPOD_Write_OUTPUTS(outputs, com)) {
        print_last_error("Qorvi_NETPOD_Write_OUTPUTS");
        goto close;
    }
    if (!exchange(com, &values))
        goto close;
    Qorvi_NETPOD_Read_OUTPUTS(com);
    if (!exchange(com, &values) || !values.OutputsValid)
        goto close;
    printf("outputs on:");
    for (int k = 0; k < 16; ++k)
        if (values.Outputs[k])
            printf(" %d", k);
    printf("\n");
    if (!values.Outputs[0] || !values.Outputs[9]) {
        fprintf(stderr, "the outputs did not read back as written\n");
        goto close;
    }

    /* Have the module polled for the inputs every 50 ms, and show five answers. */
    Qorvi_NETPOD_Read_INPUTS(true, com);
    Qorvi_NETPOD_RepetitiveAskSetTime(50, com);
    Qorvi_NETPOD_RepetitiveAskStart(com);
    for (int shown = 0; shown < 5;) {
        if (!wait_for_answer(answers_so_far(), &values, 5000)) {
            fprintf(stderr, "the repetitive ask stopped answering\n");
            goto close;
        }
        if (!values.InputsValid)
            continue;
        printf("inputs on:");
        for (int k = 0; k < 16; ++k)
            if (values.Inputs[k])
                printf(" %d", k);
        printf("\n");
        ++shown;
    }
    Qorvi_NETPOD_RepetitiveAskStop(com);
    status = 0;

close:
    /* Always close: this stops the connection's threads. */
    Qorvi_NETPOD_CloseConnection(&com);
    return status;
}
