/* What the gateway tests play the other end of a connection with: listeners on loopback. */
#ifndef LISTENER_H
#define LISTENER_H

#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

/*
 * A socket listening on 127.0.0.1 at a port of the kernel's choosing, put
 * in *port; with both, on every address of both families, 127.0.0.1 and ::1
 * among them.
 */
inline int listening(int *port, int backlog = 8, bool both = false)
{
	int s = socket(both ? AF_INET6 : AF_INET, SOCK_STREAM, 0), one = 1, zero = 0;
	setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
	sockaddr_in a = {};
	sockaddr_in6 a6 = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	a6.sin6_family = AF_INET6;
	sockaddr *sa = both ? reinterpret_cast<sockaddr *>(&a6) : reinterpret_cast<sockaddr *>(&a);
	socklen_t l = both ? sizeof a6 : sizeof a;
	if (bind(s, sa, l) || listen(s, backlog) || getsockname(s, sa, &l))
		return -1;
	*port = ntohs(both ? a6.sin6_port : a.sin_port);
	return s;
}

/*
 * A child that takes one connection after another on loopback (with both,
 * on every address) and calls serve with each, then closes it; it ends
 * with the test. Its pid; the port in *port.
 */
inline pid_t listener(int *port, const std::function<void(int)> &serve, bool both = false)
{
	int s = listening(port, 8, both);
	if (s < 0)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		signal(SIGPIPE, SIG_IGN);
		for (;;) {
			int c = accept(s, nullptr, nullptr);
			if (c < 0)
				continue;
			serve(c);
			close(c);
		}
	}
	close(s);
	return pid;
}

inline void end(pid_t pid)
{
	if (pid > 0) {
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
}

/* Sends all of b, in one write. */
inline bool put(int fd, const std::string &b)
{
	return send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

/* Reads exactly n bytes, or what came before the end. */
inline std::string get(int fd, size_t n)
{
	std::string b(n, '\0');
	size_t got = 0;
	for (ssize_t k; got < n && (k = read(fd, &b[got], n - got)) > 0;)
		got += static_cast<size_t>(k);
	b.resize(got);
	return b;
}

#endif
