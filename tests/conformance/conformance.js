// Google's Node.js clients against the gce-emulator: credentials as on a VM (metadata
// server), disk from snapshot, snapshot with guestFlush, Operations waited for, resources
// read, attach and detach, deletes, a 404 read as an error, a self-signed JWT client.
'use strict';
const fs = require('fs');
const assert = require('assert');
const https = require('https');
const {GoogleAuth, JWT} = require('google-auth-library');
const {compute} = require('@googleapis/compute');

const info = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const rootUrl = `https://${info.apiHost}/`;
const project = 'demo-project';
const zone = 'us-central1-a';
let passed = 0;
let failed = 0;

async function check(name, fn) {
  try {
    await fn();
    passed++;
    console.log(`ok - ${name}`);
  } catch (e) {
    failed++;
    console.log(`not ok - ${name}: ${e && e.stack ? e.stack : e}`);
  }
}

async function waitZonal(c, op) {
  let cur = op;
  for (let i = 0; i < 100 && cur.status !== 'DONE'; i++) {
    cur = (await c.zoneOperations.wait({project, zone, operation: cur.name})).data;
  }
  assert.strictEqual(cur.status, 'DONE');
  assert.ok(!cur.error, `operation failed: ${JSON.stringify(cur.error)}`);
  return cur;
}

async function main() {
  const auth = new GoogleAuth({scopes: ['https://www.googleapis.com/auth/cloud-platform']});
  const c = compute({version: 'v1', auth, rootUrl});

  await check('credentials from the metadata server', async () => {
    const client = await auth.getClient();
    const tok = await client.getAccessToken();
    assert.ok(tok.token && tok.token.startsWith('ya29.'));
  });

  let snap;
  await check('snapshot a disk with guestFlush and wait', async () => {
    const op = (await c.disks.createSnapshot({
      project, zone, disk: 'data-disk-1', guestFlush: true,
      requestBody: {name: 'conf-snap-1', labels: {'snap-name-bx': 'conf-snap-1'}},
    })).data;
    assert.strictEqual(op.operationType, 'createSnapshot');
    await waitZonal(c, op);
    snap = (await c.snapshots.get({project, snapshot: 'conf-snap-1'})).data;
    assert.strictEqual(snap.status, 'READY');
    assert.ok(snap.sourceDisk.endsWith('/zones/us-central1-a/disks/data-disk-1'));
    assert.match(snap.id, /^[0-9]+$/);
  });

  let disk;
  await check('create a disk from the snapshot', async () => {
    const op = (await c.disks.insert({
      project, zone,
      requestBody: {name: 'conf-clone-1', sourceSnapshot: `projects/${project}/global/snapshots/conf-snap-1`},
    })).data;
    const done = await waitZonal(c, op);
    disk = (await c.disks.get({project, zone, disk: 'conf-clone-1'})).data;
    assert.strictEqual(disk.status, 'READY');
    assert.strictEqual(done.targetLink, disk.selfLink);
    assert.strictEqual(disk.sourceSnapshotId, snap.id);
  });

  await check('attach and detach the disk', async () => {
    await waitZonal(c, (await c.instances.attachDisk({
      project, zone, instance: 'mover-1',
      requestBody: {source: disk.selfLink, deviceName: 'conf-clone-1'},
    })).data);
    const inst = (await c.instances.get({project, zone, instance: 'mover-1'})).data;
    const att = inst.disks.find((d) => d.deviceName === 'conf-clone-1');
    assert.ok(att, 'attached disk listed');
    assert.strictEqual(att.source, disk.selfLink);
    const users = (await c.disks.get({project, zone, disk: 'conf-clone-1'})).data.users;
    assert.deepStrictEqual(users, [inst.selfLink]);
    await waitZonal(c, (await c.instances.detachDisk({
      project, zone, instance: 'mover-1', deviceName: 'conf-clone-1'})).data);
    const after = (await c.instances.get({project, zone, instance: 'mover-1'})).data;
    assert.ok(!after.disks.some((d) => d.deviceName === 'conf-clone-1'));
  });

  await check('delete the disk and the snapshot', async () => {
    await waitZonal(c, (await c.disks.delete({project, zone, disk: 'conf-clone-1'})).data);
    let op = (await c.snapshots.delete({project, snapshot: 'conf-snap-1'})).data;
    for (let i = 0; i < 100 && op.status !== 'DONE'; i++) {
      op = (await c.globalOperations.wait({project, operation: op.name})).data;
    }
    assert.strictEqual(op.status, 'DONE');
  });

  await check('a missing resource is a 404 error', async () => {
    await assert.rejects(c.disks.get({project, zone, disk: 'conf-clone-1'}), (e) => {
      assert.strictEqual(e.code, 404);
      assert.match(e.message, /was not found/);
      const body = e.response && e.response.data;
      assert.strictEqual(body.error.errors[0].reason, 'notFound');
      return true;
    });
  });

  await check('zones and regions', async () => {
    const z = (await c.zones.get({project, zone})).data;
    assert.strictEqual(z.name, zone);
    const r = (await c.regions.get({project, region: 'us-central1'})).data;
    assert.ok(r.zones.includes(z.selfLink));
  });

  await check('self-signed JWT of a service-account key as bearer token', async () => {
    const sa = info.serviceAccounts.find((a) => a.email.startsWith('backup-sa@'));
    const jwt = new JWT();
    jwt.fromJSON(JSON.parse(fs.readFileSync(sa.jsonFile, 'utf8')));
    const url = `${rootUrl}compute/v1/projects/other-project/zones/${zone}/disks/app-data-1`;
    const headers = await jwt.getRequestHeaders(url);
    const authz = headers.get ? headers.get('authorization') : headers.Authorization;
    assert.ok(authz && authz.startsWith('Bearer ey'));
    const {status, body} = await new Promise((resolve, reject) => {
      https.get(url, {headers: {authorization: authz}}, (res) => {
        let data = '';
        res.on('data', (d) => (data += d));
        res.on('end', () => resolve({status: res.statusCode, body: data}));
      }).on('error', reject);
    });
    assert.strictEqual(status, 200, body);
    assert.strictEqual(JSON.parse(body).name, 'app-data-1');
  });

  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 && passed > 0 ? 0 : 1);
}

main().catch((e) => {
  console.log(`not ok - ${e && e.stack ? e.stack : e}`);
  console.log(`${passed} passed, ${failed + 1} failed`);
  process.exit(1);
});
