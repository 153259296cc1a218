// The three CGI hosts a node owner is likely to put the program behind, each started on a free
// loopback port with its own configuration, notes folder and copy of the executable in a
// throw-away folder: lighttpd (the `make serve` configuration), Apache httpd with mod_cgid, and
// nginx passing requests to fcgiwrap on a unix socket.
import { execFileSync, spawn } from 'node:child_process';
import { chmodSync, chownSync, copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync }
  from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { EXE, ROOT, freePort, until } from '../browser/support.mjs';

const AS_ROOT = process.getuid?.() === 0;
// Apache runs no CGI program as root, so started as root it (and nginx, alike) hands requests to
// this account, which then needs the notes folder.
const CGI_USER = 'www-data';
const APACHE_MODULES = '/usr/lib/apache2/modules';
const first = (...paths) => paths.find((p) => existsSync(p));

// Every host caps request bodies at 1 MiB, above the program's own limit, so that an over-long
// body reaches the program and is refused by it.
const BODY_CAP = 1048576;

// The script also puts lighttpd's error log next to the configuration, which is d.log.
function lighttpdConf(d) {
  execFileSync(path.join(ROOT, 'scripts/lighttpd-conf.sh'), [d.conf, String(d.port), d.notes, d.exe]);
}

function apacheConf(d) {
  const user = AS_ROOT ? `User ${CGI_USER}\nGroup ${CGI_USER}\n` : '';
  writeFileSync(d.conf, `# Apache httpd running the notes program through mod_cgid; written by the host test.
ServerRoot "${d.dir}"
DefaultRuntimeDir "${d.run}"
PidFile "${d.run}/httpd.pid"
ScriptSock "${d.run}/cgid.sock"
ErrorLog "${d.log}"
ServerName 127.0.0.1
Listen 127.0.0.1:${d.port}
${user}LoadModule mpm_event_module ${APACHE_MODULES}/mod_mpm_event.so
LoadModule authz_core_module ${APACHE_MODULES}/mod_authz_core.so
LoadModule alias_module ${APACHE_MODULES}/mod_alias.so
LoadModule env_module ${APACHE_MODULES}/mod_env.so
LoadModule cgid_module ${APACHE_MODULES}/mod_cgid.so
LimitRequestBody ${BODY_CAP}
ScriptAlias /plugin_notes "${d.exe}"
<Location /plugin_notes>
  Require all granted
  # Without this Apache keeps the Authorization header (the bearer token) from the program.
  CGIPassAuth On
  SetEnv NOTES_DIR "${d.notes}"
  # Taken from httpd's own environment at start, so the password stays out of this file.
  PassEnv ORVIK_PASSWORD
</Location>
`);
}

function nginxConf(d, password) {
  const user = AS_ROOT ? `user ${CGI_USER};\n` : '';
  const temp = ['client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi']
    .map((k) => `  ${k}_temp_path "${d.run}/${k}";`).join('\n');
  writeFileSync(d.conf, `# nginx passing the notes program's requests to fcgiwrap; written by the host test.
daemon off;
${user}worker_processes 1;
pid "${d.run}/nginx.pid";
error_log "${d.log}";
events { worker_connections 64; }
http {
  access_log off;
${temp}
  server {
    listen 127.0.0.1:${d.port};
    client_max_body_size ${BODY_CAP};
    location = /plugin_notes {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME "${d.exe}";
      # fcgiwrap gives the program only these parameters as its environment.
      fastcgi_param NOTES_DIR "${d.notes}";
      fastcgi_param ORVIK_PASSWORD "${password}";
      fastcgi_pass unix:${d.socket};
    }
  }
}
`);
}

// Starts fcgiwrap on the folder's socket and waits for it; returns the child process.
async function startFcgiwrap(d, bin) {
  const proc = spawn(bin, ['-s', 'unix:' + d.socket], { stdio: 'ignore' });
  await until(() => existsSync(d.socket) || proc.exitCode !== null, 'fcgiwrap socket');
  if (proc.exitCode !== null) throw new Error('fcgiwrap did not start');
  chmodSync(d.socket, 0o666); // nginx's workers may run as another user
  return proc;
}

// Each host: the binaries it needs (missing ones mean its package could not be installed), how
// to write its configuration and the command that runs it in the foreground.
export const HOSTS = [
  {
    name: 'lighttpd',
    needs: { lighttpd: first('/usr/sbin/lighttpd', '/usr/bin/lighttpd') },
    configure: lighttpdConf,
    command: (d, bin) => [bin.lighttpd, ['-D', '-f', d.conf]],
  },
  {
    name: 'apache',
    needs: { apache2: first('/usr/sbin/apache2'), mod_cgid: first(APACHE_MODULES + '/mod_cgid.so') },
    cgiUser: AS_ROOT,
    configure: apacheConf,
    command: (d, bin) => [bin.apache2, ['-f', d.conf, '-DFOREGROUND']],
  },
  {
    name: 'nginx',
    needs: { nginx: first('/usr/sbin/nginx'), fcgiwrap: first('/usr/sbin/fcgiwrap') },
    configure: nginxConf,
    helper: (d, bin) => startFcgiwrap(d, bin.fcgiwrap),
    command: (d, bin) => [bin.nginx, ['-p', d.dir, '-e', d.log, '-c', d.conf]],
  },
];

// Names the binaries of a host that are not installed, or returns '' when it can run.
export function hostMissing(host) {
  return Object.entries(host.needs).filter(([, p]) => !p).map(([name]) => name).join(', ');
}

// Ends a child process this test started and waits for it; SIGKILL when SIGTERM is not enough.
async function stopChild(proc) {
  if (!proc || proc.exitCode !== null || proc.signalCode !== null) return;
  const gone = new Promise((r) => proc.once('exit', r));
  proc.kill('SIGTERM');
  const timer = setTimeout(() => proc.kill('SIGKILL'), 10000);
  await gone;
  clearTimeout(timer);
}

// Lays out a throw-away folder that the host's CGI user can reach: the executable's copy, the
// notes folder, the configuration and a run folder for sockets and pid files.
function hostFolder(host) {
  const dir = mkdtempSync(path.join(os.tmpdir(), `notes-${host.name}-`));
  chmodSync(dir, 0o755);
  const d = {
    dir,
    exe: path.join(dir, 'cgi', 'plugin_notes'),
    notes: path.join(dir, 'notes'),
    run: path.join(dir, 'run'),
    conf: path.join(dir, host.name + '.conf'),
    log: path.join(dir, host.name + '-error.log'),
  };
  d.socket = path.join(d.run, 'fcgiwrap.sock');
  for (const p of [path.dirname(d.exe), d.notes, d.run]) mkdirSync(p, { mode: 0o755 });
  copyFileSync(EXE, d.exe);
  chmodSync(d.exe, 0o755);
  if (host.cgiUser) {
    const uid = Number(execFileSync('id', ['-u', CGI_USER], { encoding: 'utf8' }));
    const gid = Number(execFileSync('id', ['-g', CGI_USER], { encoding: 'utf8' }));
    chownSync(d.notes, uid, gid);
  }
  return d;
}

// Starts a host with the given node password ('' for none); returns {name, port, log(), stop()}.
export async function startHost(host, password) {
  const bin = host.needs;
  const d = hostFolder(host);
  const procs = [];
  const stop = async () => {
    for (const p of procs.reverse()) await stopChild(p);
    procs.length = 0;
    rmSync(d.dir, { recursive: true, force: true, maxRetries: 20, retryDelay: 50 });
  };
  try {
    if (host.helper) procs.push(await host.helper(d, bin));
    // A port found free may be taken before the host binds it: try a few.
    for (let attempt = 0; attempt < 5; attempt++) {
      d.port = await freePort();
      host.configure(d, password);
      const [cmd, args] = host.command(d, bin);
      const proc = spawn(cmd, args, { env: { ...process.env, ORVIK_PASSWORD: password }, stdio: 'ignore' });
      const up = await until(async () => {
        if (proc.exitCode !== null || proc.signalCode !== null) return 'exited';
        try {
          await fetch(`http://127.0.0.1:${d.port}/plugin_notes?action=list`);
          return 'up';
        } catch {
          return null;
        }
      }, `${host.name} to listen`).catch(() => 'timeout');
      procs.push(proc);
      if (up === 'up') {
        return { name: host.name, port: d.port, stop,
          log: () => (existsSync(d.log) ? readFileSync(d.log, 'utf8') : '') };
      }
      await stopChild(proc);
      procs.pop();
    }
    throw new Error(`${host.name} did not start; its log:\n` + (existsSync(d.log) ? readFileSync(d.log, 'utf8') : ''));
  } catch (e) {
    await stop();
    throw e;
  }
}
