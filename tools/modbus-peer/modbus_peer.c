/*
 * tessaro-modbus-peer: an independent Modbus RTU slave on a pseudo-terminal,
 * built on libmodbus, used to check our own master against a third-party
 * implementation of the protocol.
 *
 *   tessaro-modbus-peer --link PATH [--slave N] [--values FILE] [--refuse REG:CODE]
 *                       [--log-requests] [--debug]
 *
 * The peer holds the master side of a new pty and links PATH to its slave
 * side; a client opens PATH like a serial port. Once PATH can be opened the
 * peer prints "ready PATH" on stdout. It answers read requests for input
 * registers 30001..30091 and holding registers 40001..40029 (writes to the
 * holding registers stick), echoes writes to the command registers 20001..20003
 * and 50000, and answers anything else with a Modbus exception.
 * SIGTERM, SIGINT or SIGHUP end it cleanly and remove PATH.
 *
 * --log-requests: every request addressed to the peer is printed on stdout
 * as one line "rx" followed by its bytes in hex, CRC included, before it is
 * answered, so a test can check the exact frames and their order.
 *
 * --refuse REG:CODE: a write to register REG (register-table numbering, as
 * 20002) is answered with Modbus exception CODE instead of being carried out.
 *
 * --values FILE: lines "register value" (decimal or 0x hex), '#' starts a
 * comment; each line overrides one register of the tables above.
 *
 * libmodbus is given the pty master as its file descriptor instead of opening
 * a device itself: the slave side belongs to the client, and both ends of a
 * pty must not be read by the same party. The peer keeps its own descriptor
 * of the slave side open (and never reads it) so that the master does not
 * see a hang-up while no client has the link open.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <modbus.h>

enum {
  InputFirst = 30001,
  InputCount = 91,
  HoldingFirst = 40001,
  HoldingCount = 29,
};

/* An online UPS on inverter supply fed from the mains, one alarm raised. */
static const struct {
  int Reg;
  uint16_t Value;
} DefaultValues[] = {
    /* input and output voltages, 0.1 V; output frequency, 0.1 Hz */
    {30001, 2201}, {30002, 2205}, {30003, 2199},
    {30011, 2200}, {30012, 2201}, {30013, 2199}, {30014, 500},
    /* loads, % */
    {30021, 35}, {30022, 40}, {30023, 45},
    /* battery: +/- voltages 0.1 V, charge and discharge currents 0.1 A,
       capacity %, backup time min */
    {30031, 2720}, {30032, 2715}, {30033, 12}, {30034, 11},
    {30035, 0}, {30036, 0}, {30037, 100}, {30038, 180},
    /* status block: device state byte; rectifier: input switch closed, mains
       present and feeding; inverter: bypass and output switches closed, on
       inverter; "Bypass Not Available" (InvAlarm1 bit 4), which is no fault */
    {30081, 4}, {30082, 0xCC00}, {30083, 0}, {30084, 0xC700}, {30085, 0},
    {30086, 0}, {30087, 0}, {30088, 0x0010}, {30089, 0}, {30090, 0}, {30091, 0},
    /* parameters: system id 1, normal mode, 220 V / 50 Hz, single unit,
       bypass range 5 %, +15 % / -20 %, 32 cells in 1 group, boost 2.35 V,
       float 2.25 V, EOD 1.75 V per cell, 100 Ah, pre-alarm 5 min, 10 A max
       charge, boost 120 min, buzzer and boost enabled, normal operation */
    {40001, 0}, {40002, 1}, {40003, 0}, {40004, 0}, {40005, 220}, {40006, 50},
    {40007, 1}, {40008, 0}, {40009, 0}, {40010, 0}, {40011, 5}, {40012, 15},
    {40013, 0xFFEC}, {40014, 0}, {40015, 32}, {40016, 0}, {40017, 1},
    {40018, 235}, {40019, 225}, {40020, 175}, {40021, 100}, {40022, 5},
    {40023, 10}, {40024, 0}, {40025, 120}, {40026, 0}, {40027, 0}, {40028, 0},
    {40029, 0},
};

static int SetRegister(modbus_mapping_t* map, long reg, long value) {
  if (value < 0 || value > 0xFFFF) return -1;
  if (reg >= InputFirst && reg < InputFirst + InputCount) {
    map->tab_input_registers[reg - InputFirst] = (uint16_t)value;
    return 0;
  }
  if (reg >= HoldingFirst && reg < HoldingFirst + HoldingCount) {
    map->tab_registers[reg - HoldingFirst] = (uint16_t)value;
    return 0;
  }
  return -1;
}

/* Applies a values file; prints what is wrong with it and returns -1 on error. */
static int LoadValues(modbus_mapping_t* map, const char* path) {
  FILE* f = fopen(path, "re");
  if (!f) {
    fprintf(stderr, "tessaro-modbus-peer: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  char line[256];
  int lineNo = 0;
  int rc = 0;
  while (fgets(line, sizeof line, f)) {
    ++lineNo;
    char* hash = strchr(line, '#');
    if (hash) *hash = '\0';
    char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (*p == '\0') continue;
    char* end;
    errno = 0;
    long reg = strtol(p, &end, 10);
    int ok = errno == 0 && end != p;
    long value = 0;
    if (ok) {
      p = end;
      value = strtol(p, &end, 0);
      ok = errno == 0 && end != p;
      while (ok && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')) ++end;
      ok = ok && *end == '\0';
    }
    if (!ok || SetRegister(map, reg, value) != 0) {
      fprintf(stderr,
              "tessaro-modbus-peer: %s:%d: expected \"register value\" with a register in "
              "%d..%d or %d..%d and a value in 0..65535\n",
              path, lineNo, InputFirst, InputFirst + InputCount - 1, HoldingFirst,
              HoldingFirst + HoldingCount - 1);
      rc = -1;
    }
  }
  fclose(f);
  return rc;
}

static void Usage(void) {
  fprintf(stderr,
          "usage: tessaro-modbus-peer --link PATH [--slave N] [--values FILE] [--refuse REG:CODE] "
          "[--log-requests] [--debug]\n");
}

/* Write-single-register targets outside the mapping that a device accepts:
   remote on, remote off, battery test, and the unlock register. */
static int IsCommandRegister(int wireAddr) {
  return wireAddr == 20000 || wireAddr == 20001 || wireAddr == 20002 || wireAddr == 49999;
}

/* A libmodbus RTU context reading and writing the pty master. */
static modbus_t* NewContext(const char* slaveName, int slave, int master, int debug) {
  modbus_t* ctx = modbus_new_rtu(slaveName, 9600, 'N', 8, 1);
  if (!ctx) return NULL;
  if (modbus_set_slave(ctx, slave) != 0 || modbus_set_socket(ctx, master) != 0) {
    modbus_free(ctx);
    return NULL;
  }
  modbus_set_debug(ctx, debug);
  return ctx;
}

static void LogRequest(const uint8_t* query, int len) {
  printf("rx");
  for (int i = 0; i < len; ++i) printf(" %02X", query[i]);
  printf("\n");
  fflush(stdout);
}

/* The write to refuse (wire address, -1 for none) and the exception it gets. */
static int RefuseWire = -1;
static int RefuseCode = 0;

static int Serve(modbus_t** ctxp, const char* slaveName, int slave, int debug, int logRequests,
                 modbus_mapping_t* map, int master, int sigFd) {
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  struct pollfd fds[2] = {{.fd = sigFd, .events = POLLIN}, {.fd = master, .events = POLLIN}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      perror("tessaro-modbus-peer: poll");
      return 1;
    }
    if (fds[0].revents & POLLIN) return 0;
    if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR))) continue;

    modbus_t* ctx = *ctxp;
    int len = modbus_receive(ctx, query);
    if (len == 0) {
      /* A request for another slave. libmodbus would now take the next frame
         for that slave's answer and drop it; on a pty no other slave answers,
         and the next frame is the master's next request (a device search
         probes address after address). A fresh context forgets the request. */
      modbus_free(ctx);
      *ctxp = NewContext(slaveName, slave, master, debug);
      if (!*ctxp) {
        fprintf(stderr, "tessaro-modbus-peer: %s\n", modbus_strerror(errno));
        return 1;
      }
      continue;
    }
    if (len < 0) {
      if (errno == EIO) {
        fprintf(stderr, "tessaro-modbus-peer: pty read failed: %s\n", modbus_strerror(errno));
        return 1;
      }
      modbus_flush(ctx); /* garbage, bad CRC or a torn frame: drop what is left */
      continue;
    }
    if (logRequests) LogRequest(query, len);
    int wireAddr = len >= 6 ? (query[2] << 8) | query[3] : -1;
    int isWrite = query[1] == MODBUS_FC_WRITE_SINGLE_REGISTER || query[1] == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
    if (isWrite && wireAddr >= 0 && wireAddr == RefuseWire) {
      modbus_reply_exception(ctx, query, (unsigned int)RefuseCode);
    } else if (query[1] == MODBUS_FC_WRITE_SINGLE_REGISTER && len == 8 && IsCommandRegister(wireAddr)) {
      modbus_send_raw_request(ctx, query, len - 2); /* the echo, CRC added by libmodbus */
    } else {
      modbus_reply(ctx, query, len, map);
    }
  }
}

int main(int argc, char** argv) {
  const char* link = NULL;
  const char* valuesPath = NULL;
  int slave = 1;
  int debug = 0;
  int logRequests = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
      link = argv[++i];
    } else if (strcmp(argv[i], "--slave") == 0 && i + 1 < argc) {
      char* end;
      long n = strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || n < 1 || n > 247) {
        fprintf(stderr, "tessaro-modbus-peer: --slave takes an address 1..247\n");
        return 2;
      }
      slave = (int)n;
    } else if (strcmp(argv[i], "--values") == 0 && i + 1 < argc) {
      valuesPath = argv[++i];
    } else if (strcmp(argv[i], "--refuse") == 0 && i + 1 < argc) {
      char* end;
      long reg = strtol(argv[++i], &end, 10);
      long code = *end == ':' ? strtol(end + 1, &end, 10) : -1;
      if (*end != '\0' || reg < 1 || reg > 65536 || code < 1 || code > 255) {
        fprintf(stderr, "tessaro-modbus-peer: --refuse takes REG:CODE, a register 1..65536 and an exception code 1..255\n");
        return 2;
      }
      RefuseWire = (int)(reg - 1);
      RefuseCode = (int)code;
    } else if (strcmp(argv[i], "--log-requests") == 0) {
      logRequests = 1;
    } else if (strcmp(argv[i], "--debug") == 0) {
      debug = 1;
    } else {
      Usage();
      return 2;
    }
  }
  if (!link) {
    Usage();
    return 2;
  }

  modbus_mapping_t* map =
      modbus_mapping_new_start_address(0, 0, 0, 0, HoldingFirst - 1, HoldingCount, InputFirst - 1, InputCount);
  if (!map) {
    fprintf(stderr, "tessaro-modbus-peer: %s\n", modbus_strerror(errno));
    return 1;
  }
  for (size_t i = 0; i < sizeof DefaultValues / sizeof DefaultValues[0]; ++i)
    SetRegister(map, DefaultValues[i].Reg, DefaultValues[i].Value);
  if (valuesPath && LoadValues(map, valuesPath) != 0) {
    modbus_mapping_free(map);
    return 2;
  }

  /* Signals arrive through a descriptor, so the serve loop never blocks
     inside libmodbus with a stop request pending. */
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, NULL);
  int sigFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* slaveName = NULL;
  if (sigFd < 0 || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      (slaveName = ptsname(master)) == NULL) {
    perror("tessaro-modbus-peer: pseudo-terminal");
    return 1;
  }
  /* Held open for the whole run: without it the master reads EIO between clients. */
  int slaveHold = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio;
  if (slaveHold < 0 || tcgetattr(slaveHold, &tio) != 0) {
    perror("tessaro-modbus-peer: pty slave");
    return 1;
  }
  /* Raw from the start, so nothing is echoed or translated before the client
     sets its own line settings. */
  cfmakeraw(&tio);
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  tcsetattr(slaveHold, TCSANOW, &tio);

  struct stat st;
  if (lstat(link, &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      fprintf(stderr, "tessaro-modbus-peer: %s exists and is not a symbolic link\n", link);
      return 1;
    }
    unlink(link); /* left behind by a peer that was killed */
  }
  if (symlink(slaveName, link) != 0) {
    fprintf(stderr, "tessaro-modbus-peer: cannot link %s: %s\n", link, strerror(errno));
    return 1;
  }

  modbus_t* ctx = NewContext(slaveName, slave, master, debug);
  int rc = 1;
  if (!ctx) {
    fprintf(stderr, "tessaro-modbus-peer: %s\n", modbus_strerror(errno));
  } else {
    printf("ready %s\n", link);
    fflush(stdout);
    rc = Serve(&ctx, slaveName, slave, debug, logRequests, map, master, sigFd);
  }

  unlink(link);
  if (ctx) modbus_free(ctx); /* does not close the descriptor it was given */
  modbus_mapping_free(map);
  close(master);
  close(slaveHold);
  close(sigFd);
  return rc;
}
