// Put on any GameObject: connects, logs in, answers every chat, and pumps
// the client once per frame, so every handler runs on Unity's main thread.
using Kelvo;
using UnityEngine;

public class KelvoChatSample : MonoBehaviour
{
    [SerializeField] private string serverAddress = "127.0.0.1";
    [SerializeField] private int serverPort = 7000;
    [SerializeField] private uint userId = 1001;
    [SerializeField] private string password = "alice";

    private KelvoClient _client;

    private void Start()
    {
        _client = new KelvoClient();
        _client.Connected += OnConnected;
        _client.LoginResultReceived += OnLoginResult;
        _client.ChatMessageReceived += OnChatMessage;
        _client.Closed += (sender, e) => Debug.Log("Kelvo: connection lost");
        _client.HandlerFailed += (sender, e) => Debug.LogException(e.Exception);
        if (!_client.Connect(serverAddress, serverPort))
            Debug.LogError("Kelvo: could not start connecting");
    }

    private void Update()
    {
        if (_client != null && !_client.IsDisposed) _client.Pump(256);
    }

    private void OnDestroy()
    {
        if (_client != null) _client.Dispose();
    }

    private void OnConnected(object sender, ConnectedEventArgs e)
    {
        if (!e.Succeeded)
        {
            Debug.LogWarning("Kelvo: cannot connect: " + e.Result);
            return;
        }
        _client.Login(userId, password);
    }

    private void OnLoginResult(object sender, LoginResultEventArgs e)
    {
        if (e.Succeeded) Debug.Log("Kelvo: logged in as " + userId);
        else Debug.LogWarning("Kelvo: login refused: " + e.Text);
    }

    private void OnChatMessage(object sender, ChatMessageEventArgs e)
    {
        if (e.Kind != MessageKind.Chat)
        {
            Debug.Log("Kelvo notice (" + e.Kind + "): " + e.Text);
            return;
        }
        Debug.Log("Kelvo: " + e.Sender + " says " + e.Text);
        try
        {
            _client.SendChatMessage(e.Sender, "收到: " + e.Text);
        }
        catch (KelvoArgumentException refused)
        {
            // Too long once prefixed, or a character GBK cannot hold.
            Debug.LogWarning("Kelvo: reply not sent: " + refused.Message);
        }
    }
}
