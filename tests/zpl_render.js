// Renders ZPL as a label printer would, with a renderer that shares no code
// with reclabel, so that the tests read its bar codes back with zbarimg:
//   node zpl_render.js FILE WIDTH_MM HEIGHT_MM DOTS_PER_MM PREFIX
// writes each label of FILE as PREFIX-0001.png, PREFIX-0002.png, ...
// The renderer is installed by tools/deps (npm install -g) and needs no
// network when it runs.
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

function renderer() {
    try {
        return require('zpl-renderer-js');
    } catch (e) {
        const root = execFileSync('npm', ['root', '-g']).toString().trim();
        return require(path.join(root, 'zpl-renderer-js'));
    }
}

async function main() {
    const [file, width, height, dpmm, prefix] = process.argv.slice(2);
    const { api } = await renderer().ready;
    const zpl = fs.readFileSync(file, 'utf8');
    const labels = await api.zplToBase64MultipleAsync(zpl, Number(width), Number(height), Number(dpmm));
    labels.forEach((png, i) => {
        fs.writeFileSync(`${prefix}-${String(i + 1).padStart(4, '0')}.png`, Buffer.from(png, 'base64'));
    });
}

main().then(() => process.exit(0), (e) => {
    console.error(e);
    process.exit(1);
});
