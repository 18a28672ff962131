/*
 * The devices the tests talk to, played by libmodbus through its documented
 * API: unit 1 with 2000 coils, off, and 125 holding registers, register i
 * holding 0x1234 + 0x0101 * i, as a Modbus RTU server on a serial device
 * (8N1, 9600 baud unless another is given) or a Modbus TCP server on
 * loopback. Each runs in a child that ends with the test.
 */
#ifndef DEVICES_H
#define DEVICES_H

#include <cerrno>
#include <csignal>
#include <modbus.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

inline modbus_mapping_t *registers()
{
	modbus_mapping_t *map = modbus_mapping_new(2000, 0, 125, 0);
	for (int i = 0; map && i < 125; i++)
		map->tab_registers[i] = static_cast<uint16_t>(0x0101 * i + 0x1234);
	return map;
}

/* The RTU server on the serial device at path, once it has the device. */
inline pid_t rtuserver(const std::string &path, int baud = 9600)
{
	int ready[2];
	if (pipe(ready))
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		modbus_t *ctx = modbus_new_rtu(path.c_str(), baud, 'N', 8, 1);
		modbus_mapping_t *map = registers();
		if (!ctx || !map || modbus_set_slave(ctx, 1) || modbus_connect(ctx) || write(ready[1], "", 1) != 1)
			_exit(1);
		for (uint8_t req[MODBUS_RTU_MAX_ADU_LENGTH];;) {
			int n = modbus_receive(ctx, req);
			if (n > 0)
				modbus_reply(ctx, req, n, map);
		}
	}
	close(ready[1]);
	char c;
	bool up = read(ready[0], &c, 1) == 1;
	close(ready[0]);
	return up ? pid : -1;
}

/*
 * socat's virtual null-modem, as users make one: two pseudo-terminals
 * joined, at dir/a and dir/b once both are there.
 */
inline pid_t nullmodem(const std::string &dir)
{
	const std::string a = dir + "/a", b = dir + "/b";
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		execl(SOCAT, SOCAT, ("pty,raw,echo=0,link=" + a).c_str(), ("pty,raw,echo=0,link=" + b).c_str(),
		      static_cast<char *>(nullptr));
		_exit(127);
	}
	for (int i = 0; i < 500 && (access(a.c_str(), F_OK) || access(b.c_str(), F_OK)); i++)
		usleep(10000);
	return pid;
}

/* The Modbus TCP server on 127.0.0.1 at a port of the kernel's choosing, put in *port; one client after another. */
inline pid_t tcpserver(int *port)
{
	modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
	int s = ctx ? modbus_tcp_listen(ctx, 4) : -1;
	sockaddr_in a = {};
	socklen_t l = sizeof a;
	if (s < 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &l))
		return -1;
	*port = ntohs(a.sin_port);
	pid_t pid = fork();
	if (pid == 0) {
		prctl(PR_SET_PDEATHSIG, SIGKILL);
		modbus_mapping_t *map = registers();
		for (uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH]; map;) {
			int c = modbus_tcp_accept(ctx, &s);
			for (int n; c >= 0 && (n = modbus_receive(ctx, req)) >= 0;) {
				if (n > 0)
					modbus_reply(ctx, req, n, map);
			}
			if (c >= 0)
				close(c);
		}
		_exit(1);
	}
	close(s);
	modbus_free(ctx);
	return pid;
}

#endif
