// A terminal that re-wraps its lines on a resize, for the tests: xterm.js
// (headless), driven one command per line on standard input, each answered
// with one line on standard output.
//
//   size ROWS COLUMNS   a new screen, or a resize of the one there is
//   feed BASE64         bytes written to the terminal
//   look                "count cursorRow top", then the count lines of the
//                       scrollback and the screen (the screen from `top`)
'use strict';
const path = require('path');
const { Terminal } = require(path.join(process.env.XTERM_MODULES || '', '@xterm/headless'));
const readline = require('readline');

let term = null;
const input = readline.createInterface({ input: process.stdin });
const queue = [];
let busy = false;

function answer(text) { process.stdout.write(text + '\n'); }

async function run(line) {
  const [command, ...args] = line.split(' ');
  if (command === 'size') {
    const [rows, columns] = args.map(Number);
    if (term === null) {
      term = new Terminal({ rows, cols: columns, scrollback: 100000, allowProposedApi: true });
    } else {
      term.resize(columns, rows);
    }
    answer('ok');
  } else if (command === 'feed') {
    await new Promise((done) => term.write(Buffer.from(args[0] || '', 'base64'), done));
    answer('ok');
  } else if (command === 'look') {
    const buffer = term.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; ++i) lines.push(buffer.getLine(i).translateToString(true));
    answer([lines.length, buffer.cursorY, buffer.baseY].join(' '));
    for (const text of lines) answer(text);
  } else {
    answer('error: ' + line);
  }
}

input.on('line', (line) => {
  queue.push(line);
  if (busy) return;
  busy = true;
  (async () => {
    while (queue.length) await run(queue.shift());
    busy = false;
  })();
});
