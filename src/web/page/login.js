'use strict';
document.getElementById('signin').addEventListener('submit', async (ev) => {
  ev.preventDefault();
  const problem = document.getElementById('problem');
  problem.textContent = '';
  try {
    const r = await fetch('/api/login', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({user: document.getElementById('user').value,
                            password: document.getElementById('password').value}),
    });
    if (r.ok) { window.location.replace('/'); return; }
    const body = await r.json().catch(() => ({}));
    problem.textContent = body.error || ('sign-in refused (' + r.status + ')');
  } catch (e) {
    problem.textContent = 'the engine cannot be reached';
  }
});
