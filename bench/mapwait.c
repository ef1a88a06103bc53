/* Starts a program and waits until a window of the given title is on the screen (mapped and
 * viewable), then prints the milliseconds from the start and the program's pid, and leaves the
 * program running. The clock starts just before the program is executed.
 *
 *   mapwait TITLE TIMEOUT_SECONDS PROGRAM [ARGUMENT...]
 *
 * Exit status 0 when the window appeared, 1 on a timeout or when the program ended first.
 * Watches the window manager's client list (_NET_CLIENT_LIST) and map events, so no polling
 * delay adds to the figure. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

static int HasTitle(Display* display, Window window, const char* title) {
  Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom net_name = XInternAtom(display, "_NET_WM_NAME", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = NULL;
  int same = 0;
  if (XGetWindowProperty(display, window, net_name, 0, 1024, False, utf8, &type, &format, &count,
                         &after, &data) == Success &&
      data) {
    same = strcmp((const char*)data, title) == 0;
    XFree(data);
    return same;
  }
  char* name = NULL;
  if (XFetchName(display, window, &name) && name) {
    same = strcmp(name, title) == 0;
    XFree(name);
  }
  return same;
}

/* A managed client with the title that is viewable now; 0 when there is none yet. */
static Window Find(Display* display, const char* title) {
  Atom clients = XInternAtom(display, "_NET_CLIENT_LIST", False);
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = NULL;
  Window found = 0;
  if (XGetWindowProperty(display, DefaultRootWindow(display), clients, 0, 4096, False, XA_WINDOW,
                         &type, &format, &count, &after, &data) != Success ||
      !data)
    return 0;
  Window* list = (Window*)data;
  for (unsigned long i = 0; i < count && !found; ++i) {
    XWindowAttributes attributes;
    if (!HasTitle(display, list[i], title)) continue;
    XSelectInput(display, list[i], StructureNotifyMask | PropertyChangeMask);
    if (XGetWindowAttributes(display, list[i], &attributes) && attributes.map_state == IsViewable)
      found = list[i];
  }
  XFree(data);
  return found;
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: mapwait TITLE TIMEOUT_SECONDS PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const char* title = argv[1];
  const double limit = atof(argv[2]) * 1000.0;
  Display* display = XOpenDisplay(NULL);
  if (!display) {
    fprintf(stderr, "mapwait: no display\n");
    return 2;
  }
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask | PropertyChangeMask);
  XSync(display, False);
  const double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    /* The program outlives this helper: it must not hold the caller's pipes open. */
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(ConnectionNumber(display));
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  const int fd = ConnectionNumber(display);
  for (;;) {
    Window window = Find(display, title);
    if (window) {
      printf("%.1f %d\n", Now() - start, (int)pid);
      fflush(stdout);
      return 0;
    }
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      fprintf(stderr, "mapwait: the program ended first\n");
      return 1;
    }
    const double left = limit - (Now() - start);
    if (left <= 0) {
      fprintf(stderr, "mapwait: no window \"%s\" in time\n", title);
      return 1;
    }
    while (XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval wait = {0, 20000}; /* also looks again now and then */
    select(fd + 1, &readable, NULL, NULL, &wait);
  }
}
